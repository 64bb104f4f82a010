"""Writes the seed inputs of each target into fuzz/corpus/TARGET/seed-*:
`python fuzz/seeds.py`. The signed responses are signed with the key in
fuzz/keys and valid for a century from 2026, so they replay the same way on
every run; rerun this only when the input layout of a target changes."""

import base64

import fuzz_targets as harness


def response_input(relay=None, host=None, document=b"", control=(0, 0, 0, 0)) -> bytes:
    c0, c1, c2, c3 = control
    head = b""
    if relay is not None:
        c0 |= 2
        head += bytes([len(relay)]) + relay.encode()
    if host is None:
        c1 |= 1
        head += bytes([0])  # the first of the hosts: the SP's own
    else:
        head += bytes([len(host)]) + host.encode()
    return bytes([c0, c1, c2, c3]) + head + document


def seeds() -> dict[str, dict[str, bytes]]:
    idp = harness
    valid = idp.issue(response_id="_seed1", assertion_id="_seeda1",
                      attributes={"mail": ["alice@example.com", "x"], "uid": "bob@example.com"}).xml.encode()
    signed_whole = idp.issue(response_id="_seed2", assertion_id="_seeda2", sign_response=True,
                             attributes={"mail": "twin@example.com"}).xml.encode()
    no_expiry = idp.issue(response_id="_seed3", assertion_id="_seeda3", not_on_or_after=None).xml.encode()
    failed = idp.issue(response_id="_seed4", assertion_id="_seeda4",
                       status="urn:oasis:names:tc:SAML:2.0:status:Requester").xml.encode()
    response = {
        "seed-fresh": response_input(),
        "seed-fresh-relay": response_input("https://sp.example.com/reports?week=3"),
        "seed-fresh-offsite": response_input("https://evil.example/", "sp.example.com:8443"),
        "seed-valid": response_input("/next", document=valid),
        "seed-valid-resigned": response_input(document=valid, control=(0, 2, 0, 0)),
        "seed-signed-whole": response_input(document=signed_whole, control=(0, 4, 0, 0)),
        "seed-no-expiry": response_input(document=no_expiry),
        "seed-failed-status": response_input(document=failed),
        "seed-nameid": response_input(document=valid, control=(0, 0, 0, 1)),
        "seed-memcache": response_input(document=valid, control=(12, 0, 0, 0)),
        "seed-not-xml": response_input(document=b"<samlp:Response"),
        "seed-raw-b64": response_input(document=base64.b64encode(valid), control=(0, 0, 1, 0)),
    }
    return_to = {
        "seed-relative": bytes([1, 0, 1, 2, 1, 0]),
        "seed-offsite": bytes([1, 1, 1, 4, 0, 0]),
        "seed-text": bytes([0, 11]) + b"sp.example." + bytes([0, 20]) + b"https://sp.example.c",
    }
    settings_ = {
        "seed-base": bytes([1, 0, 0, 0, 0, 0]),
        "seed-nested": bytes([0, 6, 3, 0, 0, 6, 1, 9, 6, 2, 2, 1, 4, 3]),
        "seed-placed": bytes([0, 1, 3, 1, 6, 2, 7, 1, 3, 3, 65, 66, 67]),
    }
    trackers = {
        f"seed-{kind}": bytes([i, 20, 1, 0, 1, 0, 0, 0, 1, 1, 10, 2, 3, 0, 0, 4, 1, 5, 0, 2, 0, 1, 2, 1])
        for i, kind in enumerate(["memory", "memcache", "per-id"])
    }
    hostile = {
        "seed-lock": bytes([0, 0, 0, 3, 0, 2, 1, 2, 0]),
        "seed-shared": bytes([1, 0, 1, 1, 1, 1, 1, 1, 1]),
        "seed-digest": bytes([2, 4, 2]),
        "seed-rebound": bytes([3, 0, 0, 0, 0]),
        "seed-recursion": bytes([4, 0]),
    }
    return {"response": response, "return_to": return_to, "settings": settings_, "trackers": trackers,
            "hostile": hostile}


def main() -> None:
    for name, inputs in seeds().items():
        folder = harness.HERE / "corpus" / name
        folder.mkdir(parents=True, exist_ok=True)
        for label, data in inputs.items():
            (folder / label).write_bytes(data)


if __name__ == "__main__":
    main()
