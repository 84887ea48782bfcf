-- Real servers on 127.0.0.1 for the network suite, each on a free port with a
-- temp dir of its own; servers.stop_all() ends them all.
--   servers.nginx(root, { ca = path, conf = text })   https when ca is given: a certificate signed
--                                         by the authority at that path, made there on first use;
--                                         conf: more directives for the server block
--   servers.fault(root, mode, options)    fault_server.py (see its head)
--   servers.tinyproxy(user, password), servers.microsocks(user, password)
--   servers.swift()                       an object store of one node (swift_server.py) whose s3api
--                                         checks every signature: handle.url is its path-style S3
--                                         endpoint, handle.region the region to sign for,
--                                         handle.user and handle.other two users of two accounts
--                                         (key, secret, and netrc: a file for curl, whose --user
--                                         would split the key at its colon); handle.bucket(name,
--                                         public) makes a bucket of handle.user and returns the URL
--                                         of its objects, which anyone may GET when public;
--                                         STORE-NOTES.md says how the store behaves
-- handle.url, handle.port; handle.log() lists the requests seen, as tables of
-- method, uri, status, bytes (of body sent), range and if_range.
local files = require "files"

local servers, running = {}, {}
local function absolute(path)
  local pipe = io.popen("cd '" .. path .. "' && pwd")
  local full = pipe:read("*l")
  pipe:close()
  return full .. "/"
end
local here = absolute(debug.getinfo(1, "S").source:match("^@(.*/)") or ".")
local packages = "nginx-light tinyproxy microsocks openssl python3"
local store_packages = "swift-proxy swift-account swift-container swift-object python3-swift python3-botocore memcached"
local installed = {}

local function sh(command)
  local ok = os.execute(command)
  return ok == true or ok == 0
end

local function quote(text)
  return "'" .. tostring(text):gsub("'", "'\\''") .. "'"
end

local function free_port()
  local pipe = io.popen([[/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); ]] ..
    [[print(s.getsockname()[1])']])
  local port = tonumber(pipe:read("*l"))
  pipe:close()
  return port
end

local function install(list)
  if installed[list] then return end
  assert(sh(here .. "../../tools/install-deps.sh " .. list), "missing Debian packages: " .. list)
  installed[list] = true
end

-- Runs command in a session of its own, so stop ends it with all it started.
local function start(name, dir, command, port)
  install(packages)
  files.write(dir .. "/run.sh", "echo $$ >pid\nexec " .. command .. "\n")
  sh(("cd %s && setsid sh run.sh >output 2>&1 &"):format(quote(dir)))
  local handle = { dir = dir, port = port, url = ("http://127.0.0.1:%d/"):format(port) }
  function handle.stop()
    if not running[handle] then return end
    running[handle] = nil
    sh(("kill -TERM -$(cat %s/pid) 2>/dev/null; sleep 0.1; kill -KILL -$(cat %s/pid) 2>/dev/null; rm -rf %s")
      :format(quote(dir), quote(dir), quote(dir)))
  end
  running[handle] = true
  local probe = ([[/usr/bin/python3 -c 'import socket; socket.create_connection(("127.0.0.1", %d), 1)' 2>/dev/null]])
    :format(port)
  for _ = 1, 100 do
    if sh(probe) then return handle end
    sh("sleep 0.1")
  end
  local said = files.read(dir .. "/output") or ""
  handle.stop()
  error(name .. " never answered on port " .. port .. ":\n" .. said, 3)
end

-- Both logs are tab-separated, "-" for a header that was not sent.
local fields = { "method", "uri", "status", "bytes", "range", "if_range" }
local function reader(path)
  return function()
    sh("sleep 0.2")  -- a server logs a request once it has answered
    local entries = {}
    for line in (files.read(path) or ""):gmatch("[^\n]+") do
      local entry, i = {}, 0
      for value in (line .. "\t"):gmatch("([^\t]*)\t") do
        i = i + 1
        if fields[i] and value ~= "-" then entry[fields[i]] = tonumber(value) or value end
      end
      entries[#entries + 1] = entry
    end
    return entries
  end
end

-- A test authority at ca (kept for the next server) and a certificate for
-- 127.0.0.1 that it signs.
local function certificate(dir, ca)
  assert(sh(([[cd %s && {
    [ -s %s ] || openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
      -subj /CN=authority -keyout %s.key -out %s
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
      -keyout server.key -out server.csr &&
    echo subjectAltName=IP:127.0.0.1 >server.ext &&
    openssl x509 -req -in server.csr -CA %s -CAkey %s.key -CAcreateserial -days 2 -extfile server.ext \
      -out server.pem; } >openssl.log 2>&1]]):format(quote(dir), quote(ca), quote(ca), quote(ca), quote(ca),
    quote(ca))), "openssl could not make a certificate")
end

local nginx_conf = [[
daemon off; worker_processes 1; %s pid %s/nginx.pid; error_log %s/error.log;
events { worker_connections 256; }
http {
  log_format fields '$request_method\t$request_uri\t$status\t$body_bytes_sent\t$http_range\t$http_if_range';
  access_log %s/access.log fields;
  client_body_temp_path %s; proxy_temp_path %s; fastcgi_temp_path %s; uwsgi_temp_path %s; scgi_temp_path %s;
  server { listen 127.0.0.1:%d%s; root %s; %s }
}
]]

function servers.nginx(root, options)
  local dir, port, ca = files.tmpdir(), free_port(), (options or {}).ca
  local tls = ""
  if ca then
    certificate(dir, ca)
    tls = ("ssl_certificate %s/server.pem; ssl_certificate_key %s/server.key;"):format(dir, dir)
  end
  -- As root, nginx hands its worker to nobody, who cannot read our temp dirs.
  local user = sh("[ $(id -u) = 0 ]") and "user root root;" or ""
  files.write(dir .. "/nginx.conf", nginx_conf:format(user, dir, dir, dir, dir, dir, dir, dir, dir, port,
    ca and " ssl http2" or "", root, tls .. ((options or {}).conf or "")))
  local handle = start("nginx", dir, ("/usr/sbin/nginx -p %s/ -c %s/nginx.conf"):format(dir, dir), port)
  if ca then handle.url = handle.url:gsub("^http:", "https:") end
  handle.log = reader(dir .. "/access.log")
  return handle
end

function servers.fault(root, mode, options)
  local dir, port = files.tmpdir(), free_port()
  local command = ("/usr/bin/python3 %s %d %s %s %s/requests.log"):format(quote(here .. "fault_server.py"), port,
    quote(root), quote(mode), dir)
  for name, value in pairs(options or {}) do command = command .. (" --%s=%s"):format(name, quote(value)) end
  local handle = start("fault_server.py", dir, command, port)
  handle.log = reader(dir .. "/requests.log")
  return handle
end

function servers.tinyproxy(user, password)
  local dir, port = files.tmpdir(), free_port()
  files.write(dir .. "/tinyproxy.conf", ("Port %d\nListen 127.0.0.1\nAllow 127.0.0.1\nBasicAuth %s %s\n" ..
    "PidFile \"%s/tinyproxy.pid\"\nLogFile \"%s/tinyproxy.log\"\n"):format(port, user, password, dir, dir))
  return start("tinyproxy", dir, "/usr/bin/tinyproxy -d -c " .. quote(dir .. "/tinyproxy.conf"), port)
end

function servers.microsocks(user, password)
  local dir, port = files.tmpdir(), free_port()
  return start("microsocks", dir, ("/usr/bin/microsocks -i 127.0.0.1 -p %d -u %s -P %s"):format(port, quote(user),
    quote(password)), port)
end

-- Users of tempauth, each the administrator of an account of its own; the
-- access key is "account:user".
local store_users = { { "test", "testing" }, { "other", "other-secret" } }
-- Every server's: its port, the user it runs as, the folder of swift.conf.
local store_defaults = [[
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = %d
workers = 0
user = %s
swift_dir = %s
]]
local store_conf = {
  swift = "[swift-hash]\nswift_hash_path_suffix = test\n[storage-policy:0]\nname = only\ndefault = yes\n",
  server = store_defaults .. [[
devices = %s/devices
mount_check = false
[pipeline:main]
pipeline = %s-server
[app:%s-server]
use = egg:swift#%s
]],
  proxy = store_defaults .. [[
[pipeline:main]
pipeline = proxy-logging cache s3api tempauth bulk slo proxy-logging proxy-server
[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
[filter:s3api]
use = egg:swift#s3api
location = %s
[filter:tempauth]
use = egg:swift#tempauth
%s
[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:%d
[filter:proxy-logging]
use = egg:swift#proxy_logging
[filter:bulk]
use = egg:swift#bulk
[filter:slo]
use = egg:swift#slo
]],
}

local function output(command)
  local pipe = io.popen(command)
  local text = pipe:read("*a")
  pipe:close()
  return (text:gsub("\n$", ""))
end

-- The object server keeps metadata in user xattrs, which tmpfs lacks before
-- Linux 6.6; /var/tmp is on disk then.
local function store_dir()
  local dir = files.tmpdir()
  if sh([[/usr/bin/python3 -c 'import os, sys; os.setxattr(sys.argv[1], "user.probe", b"1")' 2>/dev/null ]] .. dir) then
    return dir
  end
  files.remove(dir)
  return output("mktemp -d /var/tmp/update_test.XXXXXX")
end

function servers.swift()
  install(store_packages)
  local dir, me, region, users, lines = store_dir(), output("id -un"), "test-1", {}, {}
  files.mkdir(dir .. "/devices/d1")
  files.write(dir .. "/swift.conf", store_conf.swift)
  for _, name in ipairs({ "account", "container", "object" }) do
    files.write(("%s/%s-server.conf"):format(dir, name),
      store_conf.server:format(free_port(), me, dir, dir, name, name, name))
  end
  for i, user in ipairs(store_users) do
    users[i] = { key = user[1] .. ":tester", secret = user[2], netrc = ("%s/%s.netrc"):format(dir, user[1]) }
    files.write(users[i].netrc, ("machine 127.0.0.1 login %s password %s\n"):format(users[i].key, user[2]))
    lines[i] = ("user_%s_tester = %s .admin"):format(user[1], user[2])
  end
  local port = free_port()
  files.write(dir .. "/proxy-server.conf", store_conf.proxy:format(port, me, dir, region, table.concat(lines, "\n"),
    free_port()))
  local handle = start("swift", dir, ("/usr/bin/python3 %s %s"):format(quote(here .. "swift_server.py"), dir), port)
  handle.region, handle.user, handle.other = region, users[1], users[2]
  -- The S3 API cannot reach a bucket's "+segments" sibling, where multipart
  -- uploads keep their parts, so buckets are made through Swift's own.
  local said = output(("curl -sS -D - -o /dev/null -H 'X-Auth-User: %s' -H 'X-Auth-Key: %s' %sauth/v1.0")
    :format(handle.user.key, handle.user.secret, handle.url))
  local token, storage = said:match("X%-Auth%-Token: (%S+)"), said:match("X%-Storage%-Url: (%S+)")
  if not storage then
    said = said .. "\n" .. (files.read(dir .. "/output") or "")
    handle.stop()
    error("the object store gave no token:\n" .. said, 2)
  end
  function handle.bucket(name, public)
    for _, container in ipairs(public and { name, name .. "+segments" } or { name }) do
      assert(sh(("curl -sSf -o /dev/null -X PUT -H 'X-Auth-Token: %s' %s %s"):format(token,
        public and "-H 'X-Container-Read: .r:*,.rlistings'" or "", quote(storage .. "/" .. container))))
    end
    return storage .. "/" .. name .. "/"
  end
  return handle
end

function servers.stop_all()
  for handle in pairs(running) do handle.stop() end
end

return servers
