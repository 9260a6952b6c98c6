# Calls every operation of the Calculator at the URL given, with zeep, and
# prints one line per call: "OP=VALUE", or "OP!FAULT-MESSAGE" for a fault.
import sys

import zeep
import zeep.exceptions

wsdl, url = sys.argv[1], sys.argv[2]
client = zeep.Client(wsdl)
service = client.create_service("{urn:krsoap-calculator}CalculatorBinding", url)
calls = [
    ("Add", dict(a=2, b=3)),
    ("Subtract", dict(a=2, b=3.5)),
    ("Multiply", dict(a=-4, b=2.5)),
    ("Divide", dict(a=7, b=2)),
    ("Echo", dict(text="a <b> & \u00e9")),
    ("Concat", dict(a="foo", b="bar")),
    ("Divide", dict(a=1, b=0)),
]
for op, args in calls:
    try:
        print("%s=%s" % (op, getattr(service, op)(**args)))
    except zeep.exceptions.Fault as f:
        print("%s!%s" % (op, f.message))
sys.stdout.flush()
