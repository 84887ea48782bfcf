-- Real servers on 127.0.0.1 for the end-to-end suites, each in a temp dir of
-- its own (handle.dir) on a port chosen at run time:
--   servers.nginx(root, { tls =, http2 = })        url, port, ca (with tls)
--   servers.fault(root, mode, { match =, times =, bytes =, seconds =, status =, after = })
--   servers.tinyproxy({ user =, password = })       host, port, user, password,
--   servers.microsocks({ user =, password = })      url with the credentials
-- handle.log(count) waits briefly for count entries: for nginx and fault, tables
-- of method, uri, status, bytes (of body sent), range, if_range, if_none_match,
-- if_modified_since, connection (a serial) and, from nginx, protocol; for the
-- proxies, their log lines. Read it before handle.stop(), which removes the dir;
-- servers.stop_all() stops whatever is left, and may be called again.
local files = require "files"

local servers = {}

-- What the harness needs from Debian: ps comes with procps.
local packages = { "nginx-light", "tinyproxy", "microsocks", "openssl", "procps", "python3" }

local function quote(value)
  return "'" .. tostring(value):gsub("'", "'\\''") .. "'"
end

local function capture(command)
  local pipe = assert(io.popen(command))
  local output = pipe:read("*a")
  pipe:close()
  return (output:gsub("\n$", ""))
end

local function sleep(seconds)
  os.execute("sleep " .. seconds)
end

local here = capture("cd " .. quote(debug.getinfo(1, "S").source:match("^@(.*/)") or ".") .. " && pwd") .. "/"
local installed = false
local running = {}

local function install()
  if installed then return end
  local ok = os.execute(quote(here .. "../../tools/install-deps.sh") .. " " .. table.concat(packages, " "))
  assert(ok == true or ok == 0, "the harness's Debian packages are missing: " .. table.concat(packages, " "))
  installed = true
end

-- A port free right now; a server that loses it to a race is started again.
function servers.free_port()
  return tonumber(capture([[/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); ]] ..
    [[print(s.getsockname()[1])']]))
end

-- A live process in the session, zombies aside: nothing here reaps orphans.
local function alive(session)
  return ("ps -o stat= -s %s | grep -q '^[^Z]'"):format(session)
end

local function stop(handle)
  if not handle.pipe then return end
  local session = tonumber(files.read(handle.dir .. "/session") or "")
  if session then
    os.execute(("kill -TERM -%d 2>/dev/null; for i in $(seq 50); do %s || exit 0; sleep 0.1; done; " ..
      "kill -KILL -%d 2>/dev/null"):format(session, alive(session), session))
  end
  handle.pipe:close()
  handle.pipe = nil
  running[handle] = nil
end

-- The server runs in a session of its own under a shell that is our child:
-- closing the pipe, also by our death, makes that shell end it, reap it and
-- remove its dir.
local supervisor = [[setsid -w sh -c 'echo $$ >"$0"; exec "$@"' %s/session %s >%s/output 2>&1 & ]] ..
  [[read _; kill -TERM $! 2>/dev/null; kill -TERM -$(cat %s/session) 2>/dev/null; wait; rm -rf %s]]

-- Up to 10 s for the server to listen on its port, or on the one it writes
-- into dir/port; exits 2 when it died first. The socket must be its own: a
-- port lost to a race would answer too, and nginx keeps retrying bind() a while.
-- /proc/net/tcp writes 127.0.0.1 as 0100007F.
local ready = [[
cd %s || exit 1
for i in $(seq 200); do
  if [ -s session ]; then
    pid=$(cat session)
    %s || exit 2
    port=%s; [ -n "$port" ] || port=$(cat port 2>/dev/null)
    at=$(printf 0100007F:%%04X "${port:-0}")
    for inode in $(awk -v at="$at" '$2 == at && $4 == "0A" { print $10 }' /proc/net/tcp); do
      ls -l /proc/$pid/fd 2>/dev/null | grep -qF "socket:[$inode]" && exit 0
    done
  fi
  sleep 0.05
done
exit 1]]

-- Starts command (already quoted) with dir for its files; the handle, or nil
-- and what the server said.
local function launch(dir, command, port)
  local handle, at = { dir = dir }, quote(dir)
  handle.pipe = assert(io.popen(supervisor:format(at, command, at, at, at), "w"))
  handle.stop = function() stop(handle) end
  running[handle] = true
  local _, _, code = os.execute(ready:format(at, alive("$pid"), port or ""))
  if code ~= 0 then
    local said = files.read(dir .. "/output") or ""
    handle.stop()
    return nil, said
  end
  handle.port = port or tonumber(files.read(dir .. "/port"))
  return handle
end

-- Tries start(port, dir) on fresh ports and dirs until one answers.
local function start_on_free_port(name, start)
  install()
  local said
  for _ = 1, 3 do
    local handle
    handle, said = start(servers.free_port(), files.tmpdir())
    if handle then return handle end
  end
  error(name .. " never answered on 127.0.0.1; it said:\n" .. said, 3)
end

-- Waits up to 2 s for at least count entries, as the server logs a request
-- only after it has sent the answer.
local function waiting_log(read)
  return function(count)
    local entries = read()
    for _ = 1, 40 do
      if #entries >= (count or 0) then break end
      sleep(0.05)
      entries = read()
    end
    return entries
  end
end

local function lines(path)
  local list = {}
  for line in (files.read(path) or ""):gmatch("[^\n]+") do list[#list + 1] = line end
  return list
end

local fields = { "method", "uri", "status", "bytes", "range", "if_range", "if_none_match", "if_modified_since",
  "protocol", "connection" }
local numbers = { status = true, bytes = true, connection = true }

-- nginx escapes quotes and odd bytes as \xHH and writes "-" for a missing header.
local function nginx_entries(path)
  local entries = {}
  for _, line in ipairs(lines(path)) do
    local entry, index = {}, 0
    for value in (line .. "\t"):gmatch("([^\t]*)\t") do
      index = index + 1
      local name = fields[index]
      if name and value ~= "-" then
        value = value:gsub("\\x(%x%x)", function(hex) return string.char(tonumber(hex, 16)) end)
        entry[name] = numbers[name] and tonumber(value) or value
      end
    end
    entries[#entries + 1] = entry
  end
  return entries
end

local escapes = { b = "\b", f = "\f", n = "\n", r = "\r", t = "\t" }

-- json.dumps writes flat ASCII objects; once its escapes are \ddd codes, no
-- quote is left inside a string and patterns can take the object apart.
local function fault_entries(path)
  local entries = {}
  for _, line in ipairs(lines(path)) do
    line = line:gsub("\\(.)(%x*)", function(char, hex)
      if char == "u" then return ("\\%03d"):format(tonumber(hex:sub(1, 4), 16) % 256) .. hex:sub(5) end
      return ("\\%03d"):format((escapes[char] or char):byte()) .. hex
    end)
    local entry = {}
    for name, value in line:gmatch('"([%w_]+)": "([^"]*)"') do
      entry[name] = value:gsub("\\(%d%d%d)", function(code) return string.char(tonumber(code)) end)
    end
    for name, value in line:gmatch('"([%w_]+)": (%-?%d+)') do entry[name] = tonumber(value) end
    entries[#entries + 1] = entry
  end
  return entries
end

-- A test authority and a certificate for 127.0.0.1 and localhost signed by it.
local function certificates(dir)
  local ok = os.execute(([[cd %s && {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
      -subj '/CN=zelrelay test authority' -keyout ca.key -out ca.pem &&
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
      -keyout server.key -out server.csr &&
    printf '%%s\n' 'subjectAltName=IP:127.0.0.1,DNS:localhost' 'basicConstraints=CA:FALSE' \
      'keyUsage=digitalSignature' 'extendedKeyUsage=serverAuth' 'authorityKeyIdentifier=keyid' >server.ext &&
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
      -out server.pem; } >openssl.log 2>&1]]):format(quote(dir)))
  assert(ok == true or ok == 0, "openssl could not make the test certificates:\n" ..
    (files.read(dir .. "/openssl.log") or ""))
end

local nginx_conf = [[
daemon off;
%s
worker_processes 1;
pid %s/nginx.pid;
error_log %s/error.log notice;
events { worker_connections 512; }
http {
  log_format probe '$request_method\t$request_uri\t$status\t$body_bytes_sent\t$http_range\t$http_if_range\t'
                   '$http_if_none_match\t$http_if_modified_since\t$server_protocol\t$connection';
  access_log %s/access.log probe;
  client_body_temp_path %s/body;
  proxy_temp_path %s/proxy;
  fastcgi_temp_path %s/fastcgi;
  uwsgi_temp_path %s/uwsgi;
  scgi_temp_path %s/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_timeout 60s;
  if_modified_since before;
  server {
    listen 127.0.0.1:%d%s;
    server_name localhost;
    root %s;
    %s
  }
}
]]

-- nginx serving root. options.tls: HTTPS, handle.ca is the authority's PEM;
-- options.http2: HTTP/2 too, offered over TLS.
function servers.nginx(root, options)
  options = options or {}
  assert(not options.http2 or options.tls, "http2 is offered over tls only")
  local handle = start_on_free_port("nginx", function(port, dir)
    local tls = ""
    if options.tls then
      certificates(dir)
      tls = ("ssl_certificate %s/server.pem; ssl_certificate_key %s/server.key;"):format(dir, dir)
    end
    -- As root, nginx would hand its workers to nobody, who cannot read our temp dirs.
    local user = capture("id -u") == "0" and "user root " .. capture("id -gn") .. ";" or ""
    files.write(dir .. "/nginx.conf", nginx_conf:format(user, dir, dir, dir, dir, dir, dir, dir, dir, port,
      (options.tls and " ssl" or "") .. (options.http2 and " http2" or ""), root, tls))
    return launch(dir, ("/usr/sbin/nginx -p %s/ -c %s/nginx.conf"):format(dir, dir), port)
  end)
  handle.root = root
  handle.ca = options.tls and handle.dir .. "/ca.pem" or nil
  handle.url = ("%s://127.0.0.1:%d/"):format(options.tls and "https" or "http", handle.port)
  handle.log = waiting_log(function() return nginx_entries(handle.dir .. "/access.log") end)
  return handle
end

local function credentials(options)
  return (options or {}).user or "relay", (options or {}).password or "secret"
end

local function proxy_handle(handle, scheme, user, password)
  handle.host, handle.user, handle.password = "127.0.0.1", user, password
  handle.url = ("%s://%s:%s@127.0.0.1:%d/"):format(scheme, user, password, handle.port)
  return handle
end

local tinyproxy_conf = [[
Port %d
Listen 127.0.0.1
Allow 127.0.0.1
BasicAuth %s %s
PidFile "%s/tinyproxy.pid"
LogFile "%s/tinyproxy.log"
LogLevel Info
Timeout 60
MaxClients 64
]]

-- An HTTP proxy that wants Basic credentials; log() gives its log lines.
function servers.tinyproxy(options)
  local user, password = credentials(options)
  local handle = start_on_free_port("tinyproxy", function(port, dir)
    files.write(dir .. "/tinyproxy.conf", tinyproxy_conf:format(port, user, password, dir, dir))
    return launch(dir, "/usr/bin/tinyproxy -d -c " .. quote(dir .. "/tinyproxy.conf"), port)
  end)
  handle.log = waiting_log(function() return lines(handle.dir .. "/tinyproxy.log") end)
  return proxy_handle(handle, "http", user, password)
end

-- A SOCKS5 proxy that wants a user name and password; log() gives its output lines.
function servers.microsocks(options)
  local user, password = credentials(options)
  local handle = start_on_free_port("microsocks", function(port, dir)
    return launch(dir, ("/usr/bin/microsocks -i 127.0.0.1 -p %d -u %s -P %s"):format(port, quote(user),
      quote(password)), port)
  end)
  handle.log = waiting_log(function() return lines(handle.dir .. "/output") end)
  return proxy_handle(handle, "socks5h", user, password)
end

-- fault_server.py serving root and misbehaving by mode (see its head) on
-- paths containing options.match, a plain substring. options: times, bytes,
-- seconds, status, after.
function servers.fault(root, mode, options)
  options = options or {}
  install()
  local dir = files.tmpdir()
  local command = { "/usr/bin/python3", quote(here .. "fault_server.py"), "--root", quote(root),
    "--mode", quote(mode), "--match", quote(options.match or ""),
    "--log", quote(dir .. "/requests.log"), "--port-file", quote(dir .. "/port") }
  for _, name in ipairs({ "times", "bytes", "seconds", "status", "after" }) do
    if options[name] then command[#command + 1] = "--" .. name .. " " .. quote(options[name]) end
  end
  local handle, said = launch(dir, table.concat(command, " "))
  if not handle then error("fault_server.py never answered; it said:\n" .. said, 2) end
  handle.root = root
  handle.url = ("http://127.0.0.1:%d/"):format(handle.port)
  handle.log = waiting_log(function() return fault_entries(dir .. "/requests.log") end)
  return handle
end

-- Stops every server still running; safe to call again.
function servers.stop_all()
  for handle in pairs(running) do handle.stop() end
end

return servers
