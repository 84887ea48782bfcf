#!/usr/bin/env python3
"""Reads a repository that a web server hands out, again and again until the
file STOP exists, as a relay downstream of it would: server.ini, merged.ini
when the index lists no component, and every byte range either names, each
checked against its size and SHA-256. A failure is printed as a line:
"broken" when a fresh read of the index still names what failed, "stale"
when it no longer does and the file CLEANUP did not exist (the module's
clean-up deletes package files at once, everything else must stay readable
for readers of the index before), "cleanup" otherwise. Ends with
"rounds N".
usage: reader.py URL STOP CLEANUP"""
import hashlib
import os
import sys
import urllib.error
import urllib.request

url, stop, cleanup = sys.argv[1], sys.argv[2], sys.argv[3]


def fetch(path, first=None, size=None):
    request = urllib.request.Request(url + path)
    if first is not None:
        request.add_header("Range", "bytes=%d-%d" % (first, first + size - 1))
    try:
        with urllib.request.urlopen(request) as answer:
            return answer.read()
    except urllib.error.HTTPError as error:
        return error.code


def parse(text):
    """Components as (path, offset, size, digest), or a reason it is malformed."""
    section, components, products = None, {}, []
    for line in text.decode().splitlines():
        line = line.strip()
        if not line or line[0] in ";#":
            continue
        if line[0] == "[":
            section = line
            continue
        if "=" not in line or section is None:
            return "a line outside a section, or without '='"
        key, value = (part.strip() for part in line.split("=", 1))
        if section in ("[PATTERN]", "[ENGINE]"):
            words = value.split()
            if len(words) < 3 or len(words[1]) != 64 or key in components:
                return "component " + key
            offset = int(words[3]) if len(words) > 3 else None
            components[key] = (words[2], offset, int(words[0]), words[1])
        elif section == "[All_Product]":
            products.append(value.split())
    if any(c not in components for product in products for c in product):
        return "a product names an unlisted component"
    return components


def index():
    text = fetch("server.ini")
    if isinstance(text, int):
        return {} if text == 404 else "server.ini: HTTP %d" % text
    listed = parse(text)
    if listed == {}:
        merged = fetch("merged.ini")
        listed = {} if merged == 404 else parse(merged) if not isinstance(merged, int) else "merged.ini: %d" % merged
    return listed


def check(entry):
    path, offset, size, digest = entry
    data = fetch(path, offset, size) if offset is not None else fetch(path)
    return not isinstance(data, int) and len(data) == size and hashlib.sha256(data).hexdigest() == digest


rounds = 0
while not os.path.exists(stop):
    rounds += 1
    during = os.path.exists(cleanup)
    listed = index()
    if isinstance(listed, str):
        print("broken: index: " + listed, flush=True)
        continue
    for key, entry in listed.items():
        if check(entry):
            continue
        again = index()
        still = isinstance(again, dict) and again.get(key) == entry
        kind = "broken" if still else "cleanup" if during or os.path.exists(cleanup) else "stale"
        print("%s: %s %s" % (kind, key, entry), flush=True)
print("rounds %d" % rounds, flush=True)
