-- What the relay relies on in the object store of servers.swift(). curl signs
-- through --aws-sigv4, which is libcurl's CURLOPT_AWS_SIGV4, as the relay does.
local files = require "files"
local servers = require "servers"

local store, dir
local empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"

local function output(command)
  local pipe = io.popen(command)
  local text = pipe:read("*a")
  pipe:close()
  return text
end

local function md5(text)
  files.write(dir .. "/text", text)
  return output("md5sum " .. dir .. "/text"):match("^%x+")
end

-- The last answer's headers by lower-case name, with its status, body and S3
-- error code. options: user (netrc, or key and secret), body, hash (of the
-- payload, as signed; false for none), headers, plain (unsigned).
local function request(method, path, options)
  options = options or {}
  local user, words = options.user or store.user, { "curl -sS -D", dir .. "/headers -o", dir .. "/body" }
  if not options.plain then
    local netrc = user.netrc or dir .. "/user.netrc"
    if not user.netrc then
      files.write(netrc, ("machine 127.0.0.1 login %s password %s\n"):format(user.key, user.secret))
    end
    words[#words + 1] = ("--netrc-file %s --aws-sigv4 aws:amz:%s:s3"):format(netrc, store.region)
  end
  local hash = empty
  if options.body then
    files.write(dir .. "/upload", options.body)
    hash = output("sha256sum " .. dir .. "/upload"):match("^%x+")
    words[#words + 1] = "-T " .. dir .. "/upload"
  end
  if options.hash ~= nil then hash = options.hash end
  local headers = { ["x-amz-content-sha256"] = not options.plain and hash or nil }
  words[#words + 1] = method == "HEAD" and "-I" or "-X " .. method
  for name, value in pairs(options.headers or {}) do headers[name] = value end
  for name, value in pairs(headers) do words[#words + 1] = ("-H '%s: %s'"):format(name, value) end
  files.shell(table.concat(words, " ") .. " '" .. (path:match("^http:") and path or store.url .. path) .. "'")
  local text = files.read(dir .. "/headers"):gsub("\r", ""):gsub("^.*\n\n(HTTP/)", "%1")  -- after 100 Continue
  local answer = { status = tonumber(text:match("^HTTP/%S+ (%d+)")), body = files.read(dir .. "/body") or "" }
  for name, value in text:gmatch("\n([^:\n]+): ([^\n]*)") do answer[name:lower()] = value end
  answer.code = answer.body:match("<Code>(.-)</Code>")
  return answer
end

describe("the object store", function()
  setup(function()
    store, dir = servers.swift(), files.tmpdir()
    store.bucket("files")
  end)
  teardown(function()
    servers.stop_all()
    files.remove(dir)
  end)

  it("accepts what botocore signs, path-style, and keys escaped as it escapes them", function()
    local script = [[/usr/bin/python3 -c 'import sys, botocore.session, botocore.config
url, region, key, secret = sys.argv[1:]
s3 = botocore.session.get_session().create_client("s3", endpoint_url=url, region_name=region,
    aws_access_key_id=key, aws_secret_access_key=secret, config=botocore.config.Config(s3={"addressing_style": "path"}))
s3.put_object(Bucket="files", Key="botocore/a b+c", Body=b"signed by botocore", Metadata={"origin": "b"})
got = s3.get_object(Bucket="files", Key="botocore/a b+c")
print(got["Body"].read().decode(), got["Metadata"]["origin"])' %s %s %s %s]]
    assert.are.equal("signed by botocore b\n", output(script:format(store.url, store.region, store.user.key,
      store.user.secret)))
    assert.are.equal("signed by botocore", request("GET", "files/botocore/a%20b%2Bc").body)
    assert.are.equal(403, request("GET", "files/botocore/a%20b%2bc").status)
  end)

  it("refuses what is signed wrong, with the status and code that say why", function()
    local cases = {
      { { user = { key = store.user.key, secret = "wrong" } }, 403, "SignatureDoesNotMatch" },
      { { user = { key = "nobody:here", secret = "testing" } }, 403, "SignatureDoesNotMatch" },
      { { hash = false }, 400, "InvalidRequest" },  -- curl sends no x-amz-content-sha256 of its own
      { { body = "text", hash = empty }, 400, "BadDigest" },
      { { body = "text", headers = { ["If-None-Match"] = "*" } }, 501, "NotImplemented" },
      -- curl 7.88 sorts the signed headers as "name:value" lines, so a name
      -- that another extends with "-" or a digit comes in the wrong place.
      { { body = "text", headers = { ["x-amz-meta-a"] = "1", ["x-amz-meta-a-b"] = "2" } }, 403,
        "SignatureDoesNotMatch" },
    }
    for i, case in ipairs(cases) do
      local answer = request(case[1].body and "PUT" or "GET", "files/wrong", case[1])
      assert.are.same({ case[2], case[3] }, { answer.status, answer.code }, i)
    end
    assert.are.equal(404, request("HEAD", "files/wrong").status)
    assert.are.equal(400, request("GET", "files/wrong", { plain = true }).status)
  end)

  it("keeps and serves objects: metadata, ranges, conditional GETs and copies", function()
    local etag = '"' .. md5("0123456789") .. '"'
    local put = request("PUT", "files/data/one", { body = "0123456789", headers = { ["x-amz-meta-size"] = "ten" } })
    assert.are.same({ 200, etag }, { put.status, put.etag })
    local head = request("HEAD", "files/data/one")
    assert.are.same({ 200, "ten", "10" }, { head.status, head["x-amz-meta-size"], head["content-length"] })
    local part = request("GET", "files/data/one", { headers = { Range = "bytes=2-4" } })
    assert.are.same({ 206, "bytes 2-4/10", "234" }, { part.status, part["content-range"], part.body })
    assert.are.equal(304, request("GET", "files/data/one", { headers = { ["If-None-Match"] = etag } }).status)
    assert.are.equal(200, request("PUT", "files/data/two", { headers = { ["x-amz-copy-source"] = "files/data/one" } })
      .status)
    assert.are.equal("0123456789", request("GET", "files/data/two").body)
    assert.are.equal(200, request("PUT", "files/data/three", { body = "3", hash = "UNSIGNED-PAYLOAD" }).status)
  end)

  it("lists a prefix in pages, the query signed only when sorted and escaped", function()
    for _, key in ipairs({ "list/a", "list/b", "list/c", "listed" }) do
      request("PUT", "files/" .. key, { body = key })
    end
    local keys = function(body)
      local found = {}
      for key in body:gmatch("<Key>(.-)</Key>") do found[#found + 1] = key end
      return table.concat(found, " ")
    end
    local first = request("GET", "files?list-type=2&max-keys=2&prefix=list%2F")
    local token = first.body:match("<NextContinuationToken>(.-)<")
    assert.are.same({ "list/a list/b", "true" }, { keys(first.body), first.body:match("<IsTruncated>(.-)<") })
    local escaped = token:gsub("[^%w%-%._~]", function(c) return ("%%%02X"):format(c:byte()) end)
    local rest = request("GET", "files?continuation-token=" .. escaped .. "&list-type=2&max-keys=2&prefix=list%2F")
    assert.are.same({ "list/c", "false" }, { keys(rest.body), rest.body:match("<IsTruncated>(.-)<") })
    assert.are.equal("SignatureDoesNotMatch", request("GET", "files?prefix=list%2F&list-type=2").code)
    assert.are.equal("SignatureDoesNotMatch", request("GET", "files?list-type=2&prefix=list/").code)
    assert.are.equal("SignatureDoesNotMatch", request("GET", "files?location").code)
    assert.are.equal(store.region, request("GET", "files?location=").body:match(">([^<]+)</LocationConstraint>"))
  end)

  it("uploads in parts of 5 MiB but the last, lists them to resume, completes and aborts", function()
    local parts, upload = { ("x"):rep(5242880), "tail" }, {}
    for _, key in ipairs({ "big", "small", "dropped" }) do
      upload[key] = request("POST", "files/parts/" .. key .. "?uploads=").body:match("<UploadId>(.-)<")
    end
    for i, part in ipairs(parts) do
      request("PUT", ("files/parts/big?partNumber=%d&uploadId=%s"):format(i, upload.big), { body = part })
      request("PUT", ("files/parts/small?partNumber=%d&uploadId=%s"):format(i, upload.small), { body = "x" })
    end
    local listed = request("GET", "files/parts/big?max-parts=1&part-number-marker=1&uploadId=" .. upload.big).body
    assert.are.same({ "2", "4" }, { listed:match("<PartNumber>(%d+)<"), listed:match("<Size>(%d+)<") })
    local function complete(key, etags)
      local xml = "<CompleteMultipartUpload>"
      for i, etag in ipairs(etags) do
        xml = xml .. ('<Part><PartNumber>%d</PartNumber><ETag>"%s"</ETag></Part>'):format(i, etag)
      end
      return request("POST", ("files/parts/%s?uploadId=%s"):format(key, upload[key]),
        { body = xml .. "</CompleteMultipartUpload>" })
    end
    local etags = { md5(parts[1]), md5(parts[2]) }
    assert.are.equal("EntityTooSmall", complete("small", { md5("x"), md5("x") }).code)
    -- The ETag of the whole: the MD5 of the parts' binary MD5s, and their count.
    local binary = (etags[1] .. etags[2]):gsub("%x%x", function(x) return string.char(tonumber(x, 16)) end)
    assert.are.equal('"' .. md5(binary) .. '-2"', complete("big", etags).body:match("<ETag>(.-)</ETag>"))
    assert.are.equal(5242884, tonumber(request("HEAD", "files/parts/big")["content-length"]))
    assert.are.equal(204, request("DELETE", "files/parts/dropped?uploadId=" .. upload.dropped).status)
    assert.are.equal("NoSuchUpload", request("GET", "files/parts/dropped?uploadId=" .. upload.dropped).code)
  end)

  it("serves a public bucket on plain http, parts and all, with ranges and If-None-Match", function()
    local public = store.bucket("shown", true)
    request("PUT", "shown/one", { body = "0123456789" })
    local upload = request("POST", "shown/big?uploads=").body:match("<UploadId>(.-)<")
    request("PUT", "shown/big?partNumber=1&uploadId=" .. upload, { body = "0123456789" })
    request("POST", "shown/big?uploadId=" .. upload, { body = ('<CompleteMultipartUpload><Part><PartNumber>1' ..
      '</PartNumber><ETag>"%s"</ETag></Part></CompleteMultipartUpload>'):format(md5("0123456789")) })
    for _, key in ipairs({ "one", "big" }) do
      local whole = request("GET", public .. key, { plain = true })
      assert.are.same({ 200, "0123456789" }, { whole.status, whole.body }, key)
      local part = request("GET", public .. key, { plain = true, headers = { Range = "bytes=8-" } })
      assert.are.same({ 206, "89" }, { part.status, part.body }, key)
      -- Swift's own ETag, which for parts is not the S3 one
      local again = request("GET", public .. key, { plain = true, headers = { ["If-None-Match"] = whole.etag } })
      assert.are.equal(304, again.status, key)
    end
    assert.are.equal(401, request("GET", store.bucket("files") .. "data/one", { plain = true }).status)
  end)

  it("refuses a bucket made twice, and keeps each account's buckets apart", function()
    local again = request("PUT", "files")
    assert.are.same({ 409, "BucketAlreadyOwnedByYou" }, { again.status, again.code })
    assert.are.equal(200, request("PUT", "files", { user = store.other }).status)
    assert.are.equal("NoSuchKey", request("GET", "files/data/one", { user = store.other }).code)
  end)
end)

-- zelrelay-push puts a relay's repository into the store, and relays mirror
-- it from there, through s3:// and through the bucket's public URL.
describe("pushing a mirror to the store", function()
  local fixture = dofile("fixture.lua")
  local stdlib = require "posix.stdlib"
  local update = require "update"
  local bin = assert(os.getenv("ZELRELAY_BIN"))
  local public, root

  local function setenv(secret)
    for name, value in pairs({ AWS_ACCESS_KEY_ID = store.user.key, AWS_SECRET_ACCESS_KEY = secret or store.user.secret,
      AWS_REGION = store.region, AWS_ENDPOINT_URL = store.url }) do stdlib.setenv(name, value) end
  end
  -- The exit status and what zelrelay-push said.
  local function push(repository, target, background)
    local line = ("%s/zelrelay-push %s %s"):format(bin, repository, target or "s3://mirror/m")
    if background then return fixture.run(line .. " >/dev/null 2>&1 & echo $! >" .. root .. "/pid") end
    local text = output(line .. " 2>&1; echo $?")
    return tonumber(text:match("(%d+)\n$")), text
  end
  local function mirror(into, source, products)
    return select(2, update.everything(into, products or { "c3t4", "c2t1207959858" }, { { url = source } },
      { ek = true }))
  end

  setup(function()
    store, root, dir = servers.swift(), files.tmpdir(), files.tmpdir()
    public = store.bucket("mirror", true)
    update.startup()
    setenv()
  end)
  teardown(function()
    servers.stop_all()
    files.remove(root)
  end)

  it("serves relays through s3:// and plain http, uploads nothing again, and refuses wrong credentials", function()
    local up, relay = fixture.publish(true), root .. "/relay"
    files.mkdir(relay)
    assert.are.equal(1, mirror(relay, up))
    update.removeek(relay)  -- the merged archives are then all there is
    assert.matches("uploaded", select(2, push(relay)))
    assert.matches(": 0 uploaded %(0 bytes%), %d+ unchanged", select(2, push(relay)))
    for _, source in ipairs({ "s3://mirror/m/", public .. "m/" }) do
      local into = files.tmpdir()
      assert.are.equal(1, mirror(into, source), source)
      files.remove(into)
    end
    -- An independent client finds the digest each object was sent with.
    local said = output(([[/usr/bin/python3 -c 'import sys, hashlib, botocore.session, botocore.config
url, region, key, secret = sys.argv[1:]
s3 = botocore.session.get_session().create_client("s3", endpoint_url=url, region_name=region,
    aws_access_key_id=key, aws_secret_access_key=secret, config=botocore.config.Config(s3={"addressing_style": "path"}))
got = s3.get_object(Bucket="mirror", Key="m/merged.ini")
print(hashlib.sha256(got["Body"].read()).hexdigest() == got["Metadata"]["sha256"])' %s %s %s %s]]):format(store.url,
      store.region, store.user.key, store.user.secret))
    assert.are.equal("True\n", said)
    setenv("wrong")
    local status, text = push(relay)
    assert.are.same({ 1, "object store refused the credentials" }, { status, text:match("refused the credentials") and
      "object store refused the credentials" })
    assert.are.equal(-52, mirror(files.tmpdir(), "s3://mirror/m/"))
    setenv()
    files.remove(up)
  end)

  it("keeps serving the last whole state when a push is killed, and the next push completes", function()
    local up, relay, shown = files.tmpdir(), root .. "/killed", files.tmpdir()
    files.mkdir(relay)
    fixture.publish(false, nil, up)
    assert.are.same({ 1, 0 }, { mirror(relay, up, { "c3t4" }), (push(relay, "s3://mirror/k")) })
    local first = fixture.read(relay .. "/server.ini")
    -- A package large enough to go up in parts, and a push killed in the middle of them.
    local text = fixture.components["c3t4v1.05.3l4"]
    fixture.components["c3t4v1.05.3l4"] = output("head -c 31457280 /dev/urandom | base64 -w0")
    fixture.publish(false, nil, up)
    fixture.components["c3t4v1.05.3l4"] = text
    assert.are.equal(1, mirror(relay, up, { "c3t4" }))
    stdlib.setenv("ZELRELAY_PUSH_PART_SIZE", "5242880")
    push(relay, "s3://mirror/k", true)
    -- Killed once its upload in parts is under way, as the record says.
    fixture.run("for i in $(seq 1000); do sed -n '/Uploads/,$p' " .. relay .. "/.zelrelay.pushed/* | grep -q = && " ..
      "break; sleep 0.01; done; kill -9 $(cat " .. root .. "/pid)")
    assert.are.equal(first, output(("curl -s %sk/server.ini"):format(public)))
    assert.are.equal(1, mirror(shown, "s3://mirror/k/", { "c3t4" }))
    -- Had that upload been of other bytes under the name, going on with it
    -- would mix them into the object: it is started anew.
    local record = output("cat " .. relay .. "/.zelrelay.pushed/*")
    local key, sha, upload = record:match("%[Uploads%]\n(%S+) = (%x+) (%S+)\n")
    local part = ("mirror/k/%s?partNumber=1&uploadId=%s"):format(key, upload)
    assert.are.equal(200, request("PUT", part, { body = ("x"):rep(5242880) }).status)
    files.write(output("ls -d " .. relay .. "/.zelrelay.pushed/*"):gsub("\n$", ""), (record:gsub(sha, ("0"):rep(64))))
    -- The dead push still holds the bucket (this store has no conditional
    -- writes, so a bucket is the lock), until someone frees it.
    request("DELETE", "mirror-push-" .. output("printf k/ | sha256sum"):sub(1, 8))
    assert.are.equal(0, (push(relay, "s3://mirror/k")))
    stdlib.setenv("ZELRELAY_PUSH_PART_SIZE", nil)
    assert.are.equal(1, mirror(shown, "s3://mirror/k/", { "c3t4" }))
    assert.are.equal(fixture.read(relay .. "/server.ini"), output(("curl -s %sk/server.ini"):format(public)))
    assert.are.equal(sha, output(("curl -s %sk/%s | sha256sum"):format(public, key)):match("^%x+"))
    files.remove(up)
    files.remove(shown)
  end)

  it("refuses a second pusher while one holds the bucket", function()
    local relay = root .. "/relay"
    local lock = "mirror-push-" .. output("printf m/ | sha256sum"):sub(1, 8)
    assert.are.equal(200, request("PUT", lock).status)
    local status, text = push(relay)
    assert.are.same({ 1, "held by another push" }, { status, text:match("held by another push") })
    assert.are.equal(204, request("DELETE", lock).status)
    assert.are.equal(0, (push(relay)))
  end)

  it("hands a signed repository's statement to a downstream that checks the publisher's keys", function()
    local keys, up, relay, into = root .. "/keys", files.tmpdir(), root .. "/signed", files.tmpdir()
    files.mkdir(keys)
    files.mkdir(relay)
    local key, trusted = fixture.keygen(keys, "key")
    fixture.publish(false, "--key " .. key, up)
    for _, repository in ipairs({ relay, into }) do
      fixture.write(repository .. "/.zelrelay.trust", "key = " .. trusted .. "\n")
    end
    assert.are.equal(1, mirror(relay, up))
    assert.are.equal(0, (push(relay, "s3://mirror/s")))
    assert.are.equal(1, mirror(into, "s3://mirror/s/"))
    assert.is_true(require("cjson").decode(fixture.read(into .. "/.zelrelay.report.json")).index.signed)
    files.remove(up)
    files.remove(into)
  end)
end)
