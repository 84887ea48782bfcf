#!/bin/sh
# Publishes the sample upstream, serves it with nginx on 127.0.0.1 and
# mirrors it over HTTP through the Lua module, then with update-mirror.
# usage: examples/demo.sh BUILD-DIRECTORY
set -eu
build=$(cd "${1:?usage: demo.sh BUILD-DIRECTORY}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zelrelay-demo.XXXXXX")
"$here/../tools/install-deps.sh" nginx-light python3

"$build/zelrelay/zelrelay-publish" "$here/sample-upstream/manifest.ini" "$work/upstream"

# nginx on a free port, in the foreground of its own session, stopped on exit.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user=""
[ "$(id -u)" = 0 ] && user="user root root;"
cat >"$work/nginx.conf" <<CONF
daemon off; worker_processes 1; $user pid $work/nginx.pid; error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work; proxy_temp_path $work; fastcgi_temp_path $work; uwsgi_temp_path $work;
  scgi_temp_path $work;
  server { listen 127.0.0.1:$port; root $work/upstream; }
}
CONF
/usr/sbin/nginx -p "$work/" -c "$work/nginx.conf" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$work"' EXIT
until python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null; do sleep 0.1; done

mkdir "$work/mirror" "$work/patterns" "$work/everything" "$work/kvem"
export LUA_CPATH="$build/?.so;;" LD_LIBRARY_PATH="$build/zelrelay${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
echo
lua5.2 "$here/mirror.lua" "http://127.0.0.1:$port/" "$work/mirror" "$work/patterns" "$work/export"

# The same upstream kept by update-mirror, as an administrator would, from a
# configuration file of two mirrors.
cat >"$work/mirrors.lua" <<CONF
return {
  mirrors = {
    everything = { repository = "$work/everything", sources = { "http://127.0.0.1:$port/" },
                   products = { "c3t4", "c3t1207992320", "c2t1207959858" }, options = { keepcount = 2 } },
    kvem = { repository = "$work/kvem", sources = { "http://127.0.0.1:$port/" }, products = { "c3t4" },
             select = { components = { "c22t2213" } } },
  },
}
CONF
mirror() { echo; echo "\$ update-mirror $*"; "$here/../command/update-mirror" -c "$work/mirrors.lua" "$@"; }
mirror run
mirror list kvem
mirror status || true
