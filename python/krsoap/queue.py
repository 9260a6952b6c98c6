"""The queue manager's calls over the client bindings, and one SOAP exchange.

``Bindings`` loads libkrcl.so (the installed one beside this package, unless
a path is given) and declares the records and calls of the queue manager's
C interface (common/queue/krqueue.h) for ctypes. ``Exchange`` does what the
client connector does for a "krs:" address (docs/client.md): connect to the
address's queue manager, open the request queue for output and a temporary
dynamic reply-to queue made from SYSTEM.DEFAULT.MODEL.QUEUE, and for each
request add the SoapAction element to the envelope's Header, put it as a
request message naming the reply-to queue, and wait for the reply whose
correlation id is the request's message id. The queues stay open until the
exchange is closed. Every failure of a call raises ``QueueError`` with its
reason code.
"""

import ctypes
import os
import threading
from dataclasses import dataclass

Q_NAME_LENGTH = 48
Q_MGR_NAME_LENGTH = 48
MSG_ID_LENGTH = 24
# A request or a reply travels in one message of at most this many bytes, as
# with the connectors.
MAX_MESSAGE_BYTES = 4095
DEFAULT_REPLY_WAIT_MS = 15000

CC_FAILED = 2
RC_NONE = 0
RC_NAME_TOO_LONG = 2208
RC_MSG_TOO_BIG_FOR_Q = 2210

OO_INPUT_AS_Q_DEF = 0x1
OO_OUTPUT = 0x10
OO_FAIL_IF_QUIESCING = 0x2000
MT_REQUEST = 1
MT_DATAGRAM = 8
GMO_WAIT = 0x1
GMO_CONVERT = 0x4000
FMT_STRING = b"KRSTR   "
FMT_NONE = b"        "
MODEL_QUEUE = "SYSTEM.DEFAULT.MODEL.QUEUE"

_REASONS = {
    2033: "no message available",
    2080: "message longer than the buffer; left on the queue",
    2201: "connection handle not valid",
    2202: "object handle not valid",
    2204: "unknown queue",
    2205: "unknown queue manager",
    2206: "queue manager not available",
    2208: "name too long",
    2209: "name not valid",
    2210: "message too big for the queue",
    2211: "queue full",
    2212: "get inhibited",
    2213: "put inhibited",
}


class QueueError(Exception):
    """A queue-manager call that failed, with its reason code."""

    def __init__(self, call, reason, what=""):
        self.call = call
        self.reason = reason
        text = _REASONS.get(reason, "reason code %d" % reason)
        where = " (%s)" % what if what else ""
        super().__init__("%s failed%s: reason %d (%s)" % (call, where, reason, text))


class KROD(ctypes.Structure):
    _fields_ = [
        ("StrucId", ctypes.c_char * 4),
        ("Version", ctypes.c_int32),
        ("ObjectType", ctypes.c_int32),
        ("ObjectName", ctypes.c_char * Q_NAME_LENGTH),
        ("ObjectQMgrName", ctypes.c_char * Q_MGR_NAME_LENGTH),
        ("DynamicQName", ctypes.c_char * Q_NAME_LENGTH),
        ("AlternateUserId", ctypes.c_char * 12),
    ]


class KRMD(ctypes.Structure):
    _fields_ = [
        ("StrucId", ctypes.c_char * 4),
        ("Version", ctypes.c_int32),
        ("Report", ctypes.c_int32),
        ("MsgType", ctypes.c_int32),
        ("Expiry", ctypes.c_int32),
        ("Feedback", ctypes.c_int32),
        ("Encoding", ctypes.c_int32),
        ("CodedCharSetId", ctypes.c_int32),
        ("Format", ctypes.c_char * 8),
        ("Priority", ctypes.c_int32),
        ("Persistence", ctypes.c_int32),
        ("MsgId", ctypes.c_ubyte * MSG_ID_LENGTH),
        ("CorrelId", ctypes.c_ubyte * MSG_ID_LENGTH),
        ("BackoutCount", ctypes.c_int32),
        ("ReplyToQ", ctypes.c_char * Q_NAME_LENGTH),
        ("ReplyToQMgr", ctypes.c_char * Q_MGR_NAME_LENGTH),
        ("UserIdentifier", ctypes.c_char * 12),
        ("AccountingToken", ctypes.c_ubyte * 32),
        ("ApplIdentityData", ctypes.c_char * 32),
        ("PutApplType", ctypes.c_int32),
        ("PutApplName", ctypes.c_char * 28),
        ("PutDate", ctypes.c_char * 8),
        ("PutTime", ctypes.c_char * 8),
        ("ApplOriginData", ctypes.c_char * 4),
    ]


class KRGMO(ctypes.Structure):
    _fields_ = [
        ("StrucId", ctypes.c_char * 4),
        ("Version", ctypes.c_int32),
        ("Options", ctypes.c_int32),
        ("WaitInterval", ctypes.c_int32),
        ("Signal1", ctypes.c_int32),
        ("Signal2", ctypes.c_int32),
        ("ResolvedQName", ctypes.c_char * Q_NAME_LENGTH),
    ]


class KRPMO(ctypes.Structure):
    _fields_ = [
        ("StrucId", ctypes.c_char * 4),
        ("Version", ctypes.c_int32),
        ("Options", ctypes.c_int32),
        ("Timeout", ctypes.c_int32),
        ("Context", ctypes.c_int32),
        ("KnownDestCount", ctypes.c_int32),
        ("UnknownDestCount", ctypes.c_int32),
        ("InvalidDestCount", ctypes.c_int32),
        ("ResolvedQName", ctypes.c_char * Q_NAME_LENGTH),
        ("ResolvedQMgrName", ctypes.c_char * Q_MGR_NAME_LENGTH),
    ]


_L = ctypes.c_int32
_PL = ctypes.POINTER(ctypes.c_int32)


def _installed_library():
    # lib/python3/dist-packages/krsoap/queue.py -> lib/libkrcl.so
    here = os.path.dirname(os.path.realpath(__file__))
    return os.path.normpath(os.path.join(here, "..", "..", "..", "libkrcl.so"))


class Bindings:
    """The client bindings library with its calls declared."""

    def __init__(self, library=None):
        path = library or _installed_library()
        if not os.path.exists(path):
            raise OSError("the client bindings are not at %s (pass library=PATH)" % path)
        self.path = path
        lib = ctypes.CDLL(path)
        lib.KRCONN.argtypes = [ctypes.c_char_p, _PL, _PL, _PL]
        lib.KROPEN.argtypes = [_L, ctypes.POINTER(KROD), _L, _PL, _PL, _PL]
        lib.KRPUT.argtypes = [_L, _L, ctypes.POINTER(KRMD), ctypes.POINTER(KRPMO), _L, ctypes.c_void_p, _PL, _PL]
        lib.KRGET.argtypes = [_L, _L, ctypes.POINTER(KRMD), ctypes.POINTER(KRGMO), _L, ctypes.c_void_p, _PL, _PL, _PL]
        lib.KRCLOSE.argtypes = [_L, _PL, _L, _PL, _PL]
        lib.KRDISC.argtypes = [_PL, _PL, _PL]
        for name in ("KRCONN", "KROPEN", "KRPUT", "KRGET", "KRCLOSE", "KRDISC"):
            getattr(lib, name).restype = None
        self.lib = lib


@dataclass(frozen=True)
class Address:
    queue: str
    queue_manager: str  # empty: the default queue manager


def parse_address(address):
    """"krs:QUEUE@QMGR" (scheme in any case) -> Address; ValueError otherwise.

    The queue is what lies between the scheme and the first '@', the queue
    manager everything after it (empty: the default one), as the connectors
    read it. An address without '@' or without a queue names no queue and is
    refused rather than sent somewhere the caller did not name.
    """
    if not isinstance(address, str) or address[:4].lower() != "krs:":
        raise ValueError("not a krs: address: %r" % (address,))
    rest = address[4:]
    if "@" not in rest:
        raise ValueError("a krs: address is krs:QUEUE@QMGR (QMGR may be empty): %r" % address)
    queue, qmgr = rest.split("@", 1)
    if not queue:
        raise ValueError("the krs: address names no queue: %r" % address)
    return Address(queue, qmgr)


def _name(text, width, what):
    data = text.encode("utf-8")
    if len(data) > width or b"\0" in data:
        raise QueueError(what, RC_NAME_TOO_LONG, "%r does not fit %d bytes" % (text, width))
    return data


def _padded(data, width):
    return data + b" " * (width - len(data))


def _check(call, cc, reason, what=""):
    if cc.value == CC_FAILED:
        raise QueueError(call, reason.value, what)


def patch_soap_action(envelope, action):
    """The envelope with a prefix:SoapAction element holding `action` at the
    end of its Header (a Header made when there is none), as the connector
    adds it; the server takes the operation's action from there."""
    from lxml import etree

    root = etree.fromstring(envelope, parser=etree.XMLParser(resolve_entities=False, no_network=True))
    if etree.QName(root).localname != "Envelope" or len(root) == 0:
        raise ValueError("the request is not a SOAP envelope with a Body")
    ns = etree.QName(root).namespace
    header = None
    for child in root:
        if isinstance(child.tag, str) and etree.QName(child).localname == "Header" and etree.QName(child).namespace == ns:
            header = child
            break
    if header is None:
        # Made under the Envelope so that it takes the Envelope's prefix.
        header = etree.SubElement(root, etree.QName(ns, "Header"))
        root.insert(0, header)
    element = etree.SubElement(header, etree.QName(ns, "SoapAction"))
    element.text = action
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8")


class Exchange:
    """Requests to one "krs:" address and their correlated replies.

    Opens its connection and queues on the first request and keeps them
    until ``close``; one request at a time (a lock serialises callers).
    ``reply_wait_ms`` is how long each reply is waited for.
    """

    def __init__(self, address, bindings=None, reply_wait_ms=DEFAULT_REPLY_WAIT_MS):
        self.address = parse_address(address) if isinstance(address, str) else address
        self.bindings = bindings or Bindings()
        self.reply_wait_ms = int(reply_wait_ms)
        self._lock = threading.Lock()
        self._hconn = None
        self._request = None
        self._reply = None
        self.reply_queue = ""

    def _open(self):
        lib = self.bindings.lib
        qmgr = _name(self.address.queue_manager, Q_MGR_NAME_LENGTH, "KRCONN")
        queue = _name(self.address.queue, Q_NAME_LENGTH, "KROPEN")
        cc, reason, hconn = _L(), _L(), _L()
        lib.KRCONN(qmgr, ctypes.byref(hconn), ctypes.byref(cc), ctypes.byref(reason))
        _check("KRCONN", cc, reason, "queue manager %r" % self.address.queue_manager)
        self._hconn = hconn.value
        try:
            od = self._descriptor(queue, qmgr)
            hobj = _L()
            lib.KROPEN(self._hconn, ctypes.byref(od), OO_OUTPUT | OO_FAIL_IF_QUIESCING, ctypes.byref(hobj),
                       ctypes.byref(cc), ctypes.byref(reason))
            _check("KROPEN", cc, reason, "queue %r" % self.address.queue)
            self._request = hobj.value
            od = self._descriptor(MODEL_QUEUE.encode(), b"")
            od.DynamicQName = b"*"
            lib.KROPEN(self._hconn, ctypes.byref(od), OO_INPUT_AS_Q_DEF | OO_FAIL_IF_QUIESCING, ctypes.byref(hobj),
                       ctypes.byref(cc), ctypes.byref(reason))
            _check("KROPEN", cc, reason, "a reply-to queue from " + MODEL_QUEUE)
            self._reply = hobj.value
            self.reply_queue = od.ObjectName.rstrip(b" ").decode("utf-8")
        except Exception:
            self._close_locked()
            raise

    @staticmethod
    def _descriptor(name, qmgr):
        od = KROD()
        od.StrucId = b"OD  "
        od.Version = 1
        od.ObjectType = 1
        od.ObjectName = name
        od.ObjectQMgrName = qmgr
        od.DynamicQName = b"TKR.*"
        return od

    @staticmethod
    def _message_descriptor(msg_type, fmt):
        md = KRMD()
        md.StrucId = b"MD  "
        md.Version = 1
        md.MsgType = msg_type
        md.Expiry = -1
        md.Encoding = 546
        md.Format = fmt
        md.Priority = -1
        md.Persistence = 2
        return md

    def request(self, envelope, soap_action=""):
        """Sends one request (bytes) and returns the reply (bytes)."""
        body = patch_soap_action(envelope, soap_action)
        if len(body) > MAX_MESSAGE_BYTES:
            raise QueueError("KRPUT", RC_MSG_TOO_BIG_FOR_Q, "%d bytes; at most %d travel" % (len(body), MAX_MESSAGE_BYTES))
        with self._lock:
            if self._hconn is None:
                self._open()
            lib = self.bindings.lib
            cc, reason = _L(), _L()
            md = self._message_descriptor(MT_REQUEST, FMT_STRING)
            md.ReplyToQ = _padded(self.reply_queue.encode("utf-8"), Q_NAME_LENGTH)
            md.ReplyToQMgr = b" " * Q_MGR_NAME_LENGTH
            pmo = KRPMO()
            pmo.StrucId = b"PMO "
            pmo.Version = 1
            pmo.Timeout = -1
            buffer = ctypes.create_string_buffer(body, len(body))
            lib.KRPUT(self._hconn, self._request, ctypes.byref(md), ctypes.byref(pmo), len(body), buffer,
                      ctypes.byref(cc), ctypes.byref(reason))
            _check("KRPUT", cc, reason, "queue %r" % self.address.queue)
            # The reply is the message correlated with this request's id; a
            # late reply to an earlier request is never taken for it.
            reply_md = self._message_descriptor(MT_DATAGRAM, FMT_NONE)
            ctypes.memmove(reply_md.CorrelId, md.MsgId, MSG_ID_LENGTH)
            gmo = KRGMO()
            gmo.StrucId = b"GMO "
            gmo.Version = 1
            gmo.Options = GMO_WAIT | GMO_CONVERT
            gmo.WaitInterval = self.reply_wait_ms
            reply = ctypes.create_string_buffer(MAX_MESSAGE_BYTES + 1)
            length = _L()
            lib.KRGET(self._hconn, self._reply, ctypes.byref(reply_md), ctypes.byref(gmo), MAX_MESSAGE_BYTES, reply,
                      ctypes.byref(length), ctypes.byref(cc), ctypes.byref(reason))
            _check("KRGET", cc, reason, "reply-to queue %r" % self.reply_queue)
            n = max(0, min(length.value, MAX_MESSAGE_BYTES))
            return reply.raw[:n]

    def _close_locked(self):
        if self._hconn is None:
            return
        lib = self.bindings.lib
        cc, reason = _L(), _L()
        for attr in ("_request", "_reply"):
            handle = getattr(self, attr)
            if handle is not None:
                h = _L(handle)
                lib.KRCLOSE(self._hconn, ctypes.byref(h), 0, ctypes.byref(cc), ctypes.byref(reason))
                setattr(self, attr, None)
        h = _L(self._hconn)
        lib.KRDISC(ctypes.byref(h), ctypes.byref(cc), ctypes.byref(reason))
        self._hconn = None

    def close(self):
        with self._lock:
            self._close_locked()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
