"""krsoap for Python: SOAP calls to services that answer on queues.

Two parts, both plain Python over the installed client bindings
(libkrcl.so, through ctypes; nothing is compiled):

- ``krsoap.queue``: the queue manager's calls (connect, open, put, get,
  close, disconnect) and ``Exchange``, one request and its correlated reply
  as the client connector makes them.
- ``krsoap.transport``: ``QueueTransport``, a python3-zeep transport that
  sends to "krs:QUEUE@QMGR" addresses over a queue and to every other
  address over HTTP as zeep's own transport does.

    import zeep, krsoap
    client = zeep.Client("CalculatorQueue.wsdl", transport=krsoap.QueueTransport())
    client.service.Add(a=2, b=3)
"""

from krsoap.queue import Address, Bindings, Exchange, QueueError, parse_address

__all__ = ["Address", "Bindings", "Exchange", "QueueError", "QueueTransport", "parse_address"]


def __getattr__(name):
    # The transport needs zeep; the queue calls do not, so it is imported
    # only when asked for.
    if name == "QueueTransport":
        from krsoap.transport import QueueTransport

        return QueueTransport
    raise AttributeError(name)
