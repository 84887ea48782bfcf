#!/usr/bin/env python3
"""A one-node object store from the configs that servers.swift() writes into DIR:
rings of one device for the account, container and object servers, memcached
(tempauth keeps its tokens there), the three servers in child processes, and
the proxy, with s3api, in this one once the others take connections, so that
the proxy's port answering means the whole store does.
usage: swift_server.py DIR"""
import os
import socket
import subprocess
import sys
import time

from swift.common import utils

# Patched once here, before there is much to patch, the servers start in a
# fifth of the time they take when each patches itself.
utils.eventlet_monkey_patch()
folder = sys.argv[1]
utils.set_swift_dir(folder)  # before the next imports read the storage policies
from swift.common.ring import RingBuilder  # noqa: E402
from swift.common.wsgi import run_wsgi  # noqa: E402

# Each server makes itself a session leader; staying in ours lets the tests end
# the store as one process group.
os.setsid = lambda: None


def port(name):
    if name == "memcached":
        return int(utils.readconf("%s/proxy-server.conf" % folder, "filter:cache")["memcache_servers"].split(":")[1])
    return int(utils.readconf("%s/%s-server.conf" % (folder, name), "app:%s-server" % name)["bind_port"])


def listening(number):
    try:
        socket.create_connection(("127.0.0.1", number), 1).close()
        return True
    except OSError:
        return False


backends = ("account", "container", "object")
for name in backends:
    builder = RingBuilder(1, 1, 1)
    builder.add_dev({"region": 1, "zone": 1, "ip": "127.0.0.1", "port": port(name), "device": "d1", "weight": 1})
    builder.rebalance()
    builder.get_ring().save("%s/%s.ring.gz" % (folder, name))
memcached = ["memcached", "-l", "127.0.0.1", "-p", str(port("memcached")), "-U", "0"]
subprocess.Popen(memcached + (["-u", "root"] if os.geteuid() == 0 else []))
for name in backends:
    if os.fork() == 0:
        sys.exit(run_wsgi("%s/%s-server.conf" % (folder, name), name + "-server", verbose=True))
deadline = time.time() + 20
while not all(listening(port(name)) for name in backends + ("memcached",)):
    if time.time() > deadline:
        sys.exit("the account, container or object server or memcached never listened")
    time.sleep(0.05)
sys.exit(run_wsgi("%s/proxy-server.conf" % folder, "proxy-server", verbose=True))
