#!/bin/sh
# What installing gives. Under a prefix from cmake --install, a C program
# built with pkg-config alone mirrors, and so does the module built with
# UPDATE_SYSTEM_RELAY against it; the rock that luarocks make builds from a
# copy of the checkout mirrors with only its tree's paths, and so does
# update-mirror from the source rock of make dist, installed offline from
# another folder; its systemd units pass systemd-analyze verify. The
# command's dependencies are Debian's packages, which luarocks does not
# know: --deps-mode=none.
# usage: install_test.sh SOURCE-DIRECTORY BUILD-DIRECTORY LUA
set -eu
source=$1 build=$2 lua=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/update-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH LUA_CPATH LUA_PATH LUA_CPATH_5_2 LUA_PATH_5_2
fail() { echo "$*" >&2; exit 1; }
# A mirror of the published sample through update.so, with status 1.
mirror() {
  mkdir "$work/$1"
  "$lua" -e "local u = require 'update' u.startup() os.exit(select(2, u.everything('$work/$1', 'c3t4', '$work/up')) == 1)"
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in bin/update-mirror share/lua/5.2/update_mirror/cli.lua share/lua/5.2/update_mirror/commands/run.lua \
    share/man/man1/update-mirror.1 share/bash-completion/completions/update-mirror \
    lib/systemd/system/update-mirror.service lib/systemd/system/update-mirror.timer \
    share/doc/update-mirror/nginx-mirror.conf; do
  [ -f "$work/prefix/$file" ] || fail "cmake --install left out $file"
done
# The units as installed, checked offline: the program the service runs is
# the prefix's, and the man page they name is found (through man).
"$source/tools/install-deps.sh" systemd man-db >/dev/null
units="$work/prefix/lib/systemd/system"
said=$(MANPATH="$work/prefix/share/man" systemd-analyze verify "$units/update-mirror.service" \
  "$units/update-mirror.timer" 2>&1) && [ -z "$said" ] || fail "systemd-analyze verify: $said"
grep -qx "ExecStart=$work/prefix/bin/update-mirror run --quiet" "$units/update-mirror.service" ||
  fail "the service does not run the prefix's update-mirror"
"$work/prefix/bin/zelrelay-publish" "$source/examples/sample-upstream/manifest.ini" "$work/up" >/dev/null
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/mirror" "$(dirname "$0")/mirror.c" $(pkg-config --cflags --libs zelrelay)
mkdir "$work/c" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/mirror" "$work/up" "$work/c" || fail "C program"

cmake -S "$source" -B "$work/module" -DUPDATE_SYSTEM_RELAY=ON >/dev/null && cmake --build "$work/module" -j2 >/dev/null
[ ! -e "$work/module/zelrelay" ] || fail "UPDATE_SYSTEM_RELAY built the local relay"
LD_LIBRARY_PATH="$work/prefix/lib" LUA_CPATH="$work/module/?.so" mirror system || fail "UPDATE_SYSTEM_RELAY module"

mkdir "$work/checkout" && tar -C "$source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/checkout" -xf -
(cd "$work/checkout" && CMAKE_BUILD_PARALLEL_LEVEL=2 luarocks --lua-version=5.2 --tree "$work/tree" make --deps-mode=none) \
  >"$work/rock.log" 2>&1 || { cat "$work/rock.log" >&2; fail "luarocks make"; }
(eval "$(luarocks --lua-version=5.2 --tree "$work/tree" path)" && mirror rock) || fail "rock"
ldd "$work/tree/lib/lua/5.2/update.so" | grep -q "=> $work/tree/lib/lua/5.2/libzelrelay.so" ||
  fail "the rock's update.so does not find libzelrelay.so beside it"
make -C "$source" dist BUILD="$work/dist-build" DIST="$work/dist" >"$work/dist.log" 2>&1 ||
  { cat "$work/dist.log" >&2; fail "make dist"; }
mkdir "$work/elsewhere" && cp "$work"/dist/*.src.rock "$work/elsewhere/"
(cd "$work/elsewhere" && CMAKE_BUILD_PARALLEL_LEVEL=2 luarocks --lua-version=5.2 --tree "$work/srctree" install \
  --deps-mode=none ./*.src.rock) >"$work/srcrock.log" 2>&1 || { cat "$work/srcrock.log" >&2; fail "source rock"; }
mkdir "$work/command"
printf 'return { mirrors = { m = { repository = "%s", sources = { "%s" }, products = { "c3t4" } } } }\n' \
  "$work/command" "$work/up" >"$work/mirrors.lua"
(eval "$(luarocks --lua-version=5.2 --tree "$work/srctree" path)" &&
  "$work/srctree/bin/update-mirror" -c "$work/mirrors.lua" run --quiet) || fail "update-mirror from the source rock"
echo "5 passed, 0 failed"
