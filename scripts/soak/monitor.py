#!/usr/bin/env python3
"""A PC/SC client of its own on the soak bench (pcsc-lite through ctypes).

  monitor.py auth READER SECONDS   at random moments takes the card in a
                                   transaction of its own and asks for its
                                   authentication state (80 50 00 00 01): the
                                   mask of authenticated roles must be 0
  monitor.py wait READER SECONDS   at random moments times how long it waits
                                   in SCardBeginTransaction for the card

Prints one summary line of key=value pairs. A card pulled, reset or a
restarted service only makes it connect again (counted as reconnects).
"""
import ctypes
import random
import sys
import time

SCARD_SHARE_SHARED = 2
SCARD_PROTOCOL_T0_OR_T1 = 3
SCARD_LEAVE_CARD = 0
SCARD_SCOPE_SYSTEM = 2

lib = ctypes.CDLL("libpcsclite.so.1")
# pcsc-lite on Linux: DWORD and LONG are C longs, handles are longs.
DWORD = ctypes.c_ulong
HANDLE = ctypes.c_long


class IoRequest(ctypes.Structure):
    _fields_ = [("dwProtocol", DWORD), ("cbPciLength", DWORD)]


T0_PCI = IoRequest.in_dll(lib, "g_rgSCardT0Pci")
T1_PCI = IoRequest.in_dll(lib, "g_rgSCardT1Pci")


class PcscError(Exception):
    pass


def check(rv, what):
    rv &= 0xFFFFFFFF
    if rv != 0:
        raise PcscError("%s: 0x%08X" % (what, rv))


class Card:
    def __init__(self, reader):
        self.context = HANDLE()
        check(lib.SCardEstablishContext(DWORD(SCARD_SCOPE_SYSTEM), None, None, ctypes.byref(self.context)),
              "SCardEstablishContext")
        self.handle = HANDLE()
        protocol = DWORD()
        try:
            check(lib.SCardConnect(self.context, reader.encode(), DWORD(SCARD_SHARE_SHARED),
                                   DWORD(SCARD_PROTOCOL_T0_OR_T1), ctypes.byref(self.handle),
                                   ctypes.byref(protocol)), "SCardConnect")
        except PcscError:
            lib.SCardReleaseContext(self.context)
            raise
        self.pci = T0_PCI if protocol.value == 1 else T1_PCI

    def begin(self):
        check(lib.SCardBeginTransaction(self.handle), "SCardBeginTransaction")

    def end(self):
        lib.SCardEndTransaction(self.handle, DWORD(SCARD_LEAVE_CARD))

    def transmit(self, apdu):
        command = (ctypes.c_ubyte * len(apdu))(*apdu)
        response = (ctypes.c_ubyte * 258)()
        length = DWORD(len(response))
        check(lib.SCardTransmit(self.handle, ctypes.byref(self.pci), command, DWORD(len(apdu)), None,
                                response, ctypes.byref(length)), "SCardTransmit")
        return bytes(response[: length.value])

    def close(self):
        lib.SCardDisconnect(self.handle, DWORD(SCARD_LEAVE_CARD))
        lib.SCardReleaseContext(self.context)


def main():
    mode, reader, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    end = time.monotonic() + seconds
    card = None
    reads = violations = reconnects = waits = 0
    worst = 0.0
    while time.monotonic() < end:
        time.sleep(random.uniform(0.05, 0.5) if mode == "auth" else random.uniform(0.2, 1.0))
        try:
            if card is None:
                card = Card(reader)
            asked = time.monotonic()
            card.begin()
            waited = time.monotonic() - asked
            try:
                if mode == "auth":
                    answer = card.transmit([0x80, 0x50, 0x00, 0x00, 0x01])
                    if answer[-2:] == b"\x90\x00":
                        reads += 1
                        if answer[0] != 0:
                            violations += 1
                            print("authenticated roles 0x%02X at %.1f s" % (answer[0], seconds - (end - time.monotonic())),
                                  file=sys.stderr)
                else:
                    waits += 1
                    worst = max(worst, waited)
                    if waited > 3:
                        print("waited %d ms at %.1f s" % (waited * 1000, seconds - (end - time.monotonic())),
                              file=sys.stderr)
            finally:
                card.end()
        except PcscError:
            reconnects += 1
            if card is not None:
                card.close()
                card = None
            time.sleep(0.2)
    if card is not None:
        card.close()
    if mode == "auth":
        print("auth_reads=%d auth_violations=%d auth_reconnects=%d" % (reads, violations, reconnects))
    else:
        print("waits=%d worst_wait_ms=%d wait_reconnects=%d" % (waits, int(worst * 1000), reconnects))


if __name__ == "__main__":
    main()
