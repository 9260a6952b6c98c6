# Prints the request envelopes zeep builds for the Calculator (without
# sending them), one per line: "OP<TAB>SOAPACTION<TAB>ENVELOPE".
import sys

import zeep
from lxml import etree

client = zeep.Client(sys.argv[1])
service = client.service
calls = [
    ("Add", dict(a=2, b=3)),
    ("Subtract", dict(a=2, b=3.5)),
    ("Multiply", dict(a=-4, b=2.5)),
    ("Divide", dict(a=7, b=2)),
    ("Echo", dict(text="x & y")),
    ("Concat", dict(a="foo", b="bar")),
]
binding = client.service._binding
for op, args in calls:
    node = client.create_message(service, op, **args)
    action = binding.get(op).soapaction or ""
    print("%s\t%s\t%s" % (op, action, etree.tostring(node, encoding="unicode").replace("\n", " ")))
