#!/usr/bin/env python3
"""PyKCS11 clients of the soak run, each in a process of its own.

  clients.py browser MODULE PIN SECONDS   a thread waits in C_WaitForSlotEvent
                                          while the main thread lists the
                                          slots, logs in, finds the private key
                                          and signs, as a browser does for a
                                          TLS client certificate
  clients.py reader MODULE CERT SECONDS   reads the public objects without a
                                          login: the certificate must be there
                                          with the value in CERT (else a lost
                                          object or a stale read)

Errors are counted by kind (the CK_RV name); a card pulled or a restarted
service makes a client start over with a fresh session. Prints one summary
line of key=value pairs.
"""
import collections
import os
import sys
import threading
import time

import PyKCS11

SLOT_EVENTS = [0]


def wait_for_events(lib):
    """A browser's slot thread. PyKCS11 keeps Python's interpreter lock
    during C_WaitForSlotEvent, so a blocking wait would stop the main
    thread: the thread asks without blocking, every 100 ms."""
    while True:
        try:
            lib.waitForSlotEvent(PyKCS11.CKF_DONT_BLOCK)
            SLOT_EVENTS[0] += 1
        except PyKCS11.PyKCS11Error:
            pass
        time.sleep(0.1)


def kind(error):
    return PyKCS11.CKR.get(error.value, hex(error.value)) if isinstance(error, PyKCS11.PyKCS11Error) else "other"


def first_slot(lib):
    slots = lib.getSlotList(tokenPresent=True)
    return slots[0] if slots else None


def browser(lib, pin, end, errors):
    watcher = threading.Thread(target=wait_for_events, args=(lib,), daemon=True)
    watcher.start()
    signatures = 0
    mechanism = PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS, None)
    while time.monotonic() < end:
        session = None
        try:
            slot = first_slot(lib)
            if slot is None:
                errors["no token"] += 1
                time.sleep(0.2)
                continue
            lib.getTokenInfo(slot)
            session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION)
            session.login(pin)
            keys = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])
            if not keys:
                errors["private key missing"] += 1
            for _ in range(5):
                if keys:
                    session.sign(keys[0], b"soak %d" % signatures, mechanism)
                    signatures += 1
            session.logout()
        except PyKCS11.PyKCS11Error as e:
            errors[kind(e)] += 1
            time.sleep(0.1)
        finally:
            if session is not None:
                try:
                    session.closeSession()
                except PyKCS11.PyKCS11Error:
                    pass
        time.sleep(0.05)
    return "browser_signatures=%d slot_events=%d" % (signatures, SLOT_EVENTS[0])


def reader(lib, certificate, end, errors):
    reads = lost = stale = 0
    while time.monotonic() < end:
        session = None
        try:
            slot = first_slot(lib)
            if slot is None:
                errors["no token"] += 1
                time.sleep(0.2)
                continue
            session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION)
            for _ in range(10):
                found = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE),
                                             (PyKCS11.CKA_LABEL, "soak")])
                reads += 1
                if not found:
                    lost += 1
                    continue
                value = bytes(session.getAttributeValue(found[0], [PyKCS11.CKA_VALUE])[0])
                if value != certificate:
                    stale += 1
                time.sleep(0.02)
        except PyKCS11.PyKCS11Error as e:
            errors[kind(e)] += 1
            time.sleep(0.1)
        finally:
            if session is not None:
                try:
                    session.closeSession()
                except PyKCS11.PyKCS11Error:
                    pass
    return "reader_reads=%d lost_objects=%d stale_reads=%d" % (reads, lost, stale)


def main():
    mode, module, argument, seconds = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    end = time.monotonic() + seconds
    errors = collections.Counter()
    if mode == "browser":
        summary = browser(lib, argument, end, errors)
    else:
        with open(argument, "rb") as f:
            summary = reader(lib, f.read(), end, errors)
    print(summary + "".join(" error[%s:%s]=%d" % (mode, k, n) for k, n in sorted(errors.items())))
    sys.stdout.flush()
    # The browser's slot thread never ends by itself.
    os._exit(0)


if __name__ == "__main__":
    main()
