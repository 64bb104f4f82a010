"""C stack taken per level of a recursion through host code: a users entry
whose attribute lookup calls back into `_get_mapped_user_id`, against the
same classes written in plain Python. Reads the touched pages of a thread
stack of its own (Rss of its mapping in /proc/self/smaps) at two depths.

    python bench/recursion_stack.py
"""

from __future__ import annotations

import sys
import threading

import tavrel_saml.saml as saml

STACK_BYTES = 37 * 1024 * 1024  # a size no other mapping has
SHALLOW, DEEP = 50, 450


def stack_rss_kib() -> int:
    """Rss of this process's mapping of exactly STACK_BYTES (+ guard)."""
    with open("/proc/self/smaps") as smaps:
        lines = smaps.read().splitlines()
    for i, line in enumerate(lines):
        if "-" in line.split(" ")[0] and ":" not in line.split(" ")[0]:
            start, end = (int(x, 16) for x in line.split(" ")[0].split("-"))
            if STACK_BYTES <= end - start <= STACK_BYTES + 64 * 1024:
                for detail in lines[i + 1:i + 20]:
                    if detail.startswith("Rss:"):
                        return int(detail.split()[1])
    raise RuntimeError("thread stack mapping not found")


class Plain:
    """The mapping loop as plain Python writes it."""

    def __init__(self, users):
        self.users, self.user_config_attribute = users, "email"

    def _get_mapped_user_id(self, attributes):
        matches = []
        for user_id, user_config in self.users.items():
            value = getattr(user_config, self.user_config_attribute)
            if value.strip() in [v.strip() for v in attributes["mail"]]:
                matches.append(user_id)
        return matches


def native_config(users):
    cfg = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
    cfg.saml_auth_attribute, cfg.user_config_attribute = "mail", "email"
    cfg.saml_auth_regex, cfg.idp_config, cfg.users = None, {"idp_name": "x"}, users
    return cfg


def per_level_bytes(make_config) -> float:
    readings = {}
    state = {"depth": 0, "stop": 0}

    class Reentrant:
        def __getattr__(self, name):
            state["depth"] += 1
            if state["depth"] == state["stop"]:
                readings[state["stop"]] = stack_rss_kib()
            else:
                cfg._get_mapped_user_id({"mail": ["a@b"]})
            return "a@b"

    cfg = make_config({"u": Reentrant()})

    def run():
        for stop in (SHALLOW, DEEP):
            state["depth"], state["stop"] = 0, stop
            cfg._get_mapped_user_id({"mail": ["a@b"]})

    threading.stack_size(STACK_BYTES)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return (readings[DEEP] - readings[SHALLOW]) * 1024 / (DEEP - SHALLOW)


def main() -> None:
    sys.setrecursionlimit(10_000)
    module = per_level_bytes(native_config)
    plain = per_level_bytes(Plain)
    print(f"C stack per level: module {module:.0f} bytes, plain Python {plain:.0f} bytes")


if __name__ == "__main__":
    main()
