"""QueueTransport: a python3-zeep transport for "krs:" addresses.

zeep hands every call to its transport's ``post(address, message,
headers)``. For an address of the form "krs:QUEUE@QMGR" this transport sends
the envelope over the queue (``krsoap.queue.Exchange``: request queue,
temporary reply-to queue, reply correlated by message id, the SOAP action in
the envelope's Header) and hands zeep the reply as the response to an HTTP
post would be: status 200, or 500 when the reply is a SOAP fault, so that
zeep raises its ``Fault`` as it does over HTTP. Every other address goes to
zeep's own HTTP transport. One exchange (connection and queues) is kept per
address for the transport's life; ``close()`` ends them.
"""

import threading

import requests
from lxml import etree
from zeep.exceptions import TransportError
from zeep.transports import Transport

from krsoap.queue import DEFAULT_REPLY_WAIT_MS, Bindings, Exchange, QueueError, parse_address

_SOAP_ENV = "http://schemas.xmlsoap.org/soap/envelope/"


def _is_fault(reply):
    try:
        root = etree.fromstring(reply, parser=etree.XMLParser(resolve_entities=False, no_network=True))
    except etree.XMLSyntaxError:
        return False
    return root.find("{%s}Body/{%s}Fault" % (_SOAP_ENV, _SOAP_ENV)) is not None


class QueueTransport(Transport):
    """A zeep transport that also speaks "krs:" addresses.

    ``library`` is the client bindings' path (default: the installed
    libkrcl.so beside this package); ``reply_wait_ms`` how long each reply
    is waited for (default 15000, as the connectors); other arguments are
    zeep's ``Transport``'s.
    """

    def __init__(self, *args, library=None, reply_wait_ms=DEFAULT_REPLY_WAIT_MS, **kwargs):
        super().__init__(*args, **kwargs)
        self._library = library
        self._bindings = None
        self._reply_wait_ms = reply_wait_ms
        self._exchanges = {}
        self._lock = threading.Lock()

    def _exchange(self, address):
        parsed = parse_address(address)
        with self._lock:
            if self._bindings is None:
                self._bindings = Bindings(self._library)
            exchange = self._exchanges.get(parsed)
            if exchange is None:
                exchange = Exchange(parsed, self._bindings, self._reply_wait_ms)
                self._exchanges[parsed] = exchange
            return exchange

    def post(self, address, message, headers):
        if not (isinstance(address, str) and address[:4].lower() == "krs:"):
            return super().post(address, message, headers)
        if isinstance(message, str):
            message = message.encode("utf-8")
        action = (headers or {}).get("SOAPAction", "").strip().strip('"')
        try:
            reply = self._exchange(address).request(message, action)
        except (QueueError, ValueError, OSError) as exc:
            raise TransportError("krs: exchange with %s failed: %s" % (address, exc)) from exc
        response = requests.Response()
        response.status_code = 500 if _is_fault(reply) else 200
        response._content = reply
        response.headers["Content-Type"] = "text/xml; charset=utf-8"
        response.encoding = "utf-8"
        response.url = address
        return response

    def close(self):
        with self._lock:
            exchanges, self._exchanges = list(self._exchanges.values()), {}
        for exchange in exchanges:
            exchange.close()
