#!/usr/bin/python3
"""Another program at the card in the first reader, as a vendor's tray tool or a browser is.
  card-holder.py exclusive SECONDS    holds the card alone (waits up to 60 s to get it)
  card-holder.py transaction SECONDS  holds a transaction on a shared connection
  card-holder.py reset                resets the card under everyone's sessions
Prints "held" once it holds the card (after a reset: "reset"), and ends after SECONDS or when
its standard input closes."""
import select
import sys
import time

from smartcard import scard


def check(result, what):
    if result != scard.SCARD_S_SUCCESS:
        sys.exit(f"card-holder: {what}: {scard.SCardGetErrorMessage(result)}")


def main():
    action = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 0
    result, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    check(result, "no card service")
    result, readers = scard.SCardListReaders(context, [])
    check(result, "no reader")
    share = scard.SCARD_SHARE_EXCLUSIVE if action == "exclusive" else scard.SCARD_SHARE_SHARED
    protocols = scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1
    deadline = time.monotonic() + 60
    while True:
        result, card, _ = scard.SCardConnect(context, readers[0], share, protocols)
        # Another program's connection keeps an exclusive one out until it lets go.
        if result != scard.SCARD_E_SHARING_VIOLATION or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    check(result, "connect")
    if action == "reset":
        check(scard.SCardDisconnect(card, scard.SCARD_RESET_CARD), "reset")
        print("reset", flush=True)
        return
    if action == "transaction":
        check(scard.SCardBeginTransaction(card), "transaction")
    print("held", flush=True)
    select.select([sys.stdin], [], [], seconds)
    if action == "transaction":
        scard.SCardEndTransaction(card, scard.SCARD_LEAVE_CARD)
    scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


main()
