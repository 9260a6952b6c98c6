#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is missing, builds,
# prepares a data root, starts a host serving the example Calculator on a
# request queue of the embedded default queue manager, sends requests over
# the queue (raw envelopes, then calls through the queue connector), shows
# the answers, the monitor status and the trace, and stops the host.
#
# The demo keeps its own data root (build/demo-home) unless KRSOAP_HOME is
# set, so it never touches an operator's installation.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh default >/dev/null

export KRSOAP_HOME="${KRSOAP_HOME:-$PWD/build/demo-home}"
krsoap=$PWD/build/bin/krsoap
calc=$PWD/examples/calculator

echo "== krsoap setup (data root $KRSOAP_HOME)"
$krsoap setup
$krsoap reg add 'HKLM\SOFTWARE\Orvane\KRSoap' /v soapTrace /t REG_DWORD /d 1 /f >/dev/null
$krsoap qm define '' CALC.REQUEST >/dev/null 2>&1 || true
$krsoap qm clear '' CALC.REQUEST >/dev/null

cat > "$KRSOAP_HOME/host.conf" <<CONF
[host]
status_interval = 1

[monitor calculator]
queue_manager =
queue = CALC.REQUEST
wsdl = $calc/Calculator.wsdl
wsml = $calc/Calculator.wsml
progid =
user_param =
can_reuse_object = 1
status_file = $KRSOAP_HOME/calculator.status
CONF

echo "== krsoap serve (the host, in the background)"
rm -f "$KRSOAP_HOME"/Errors/KRSP*.trc
$krsoap serve --config "$KRSOAP_HOME/host.conf" &
host=$!
trap 'kill $host 2>/dev/null || true' EXIT

for request in add echo divide-by-zero; do
  echo "== request over the queue: $request"
  if [ "$request" = divide-by-zero ]; then
    # A SOAP fault is printed like any reply, with exit status 1.
    rc=0
    $krsoap qm request '' CALC.REQUEST --wait 15000 < "$calc/requests/$request.xml" || rc=$?
    [ "$rc" -eq 1 ] || { echo "expected a fault (exit status 1), got $rc" >&2; exit 1; }
    echo "(exit status $rc: a SOAP fault)"
  else
    $krsoap qm request '' CALC.REQUEST --wait 15000 < "$calc/requests/$request.xml"
  fi
  echo
done

echo "== krsoap call over the queue: CalculatorQueue.wsdl's port is krs:CALC.REQUEST@"
$krsoap call --wsdl "$calc/CalculatorQueue.wsdl" Add 2 3

echo "== krsoap call with --endpoint krs:CALC.REQUEST@ in place of Calculator.wsdl's http: port"
$krsoap call --wsdl "$calc/Calculator.wsdl" --endpoint 'krs:CALC.REQUEST@' Multiply 6 7

echo "== monitor status (asked of the running host)"
$krsoap status --config "$KRSOAP_HOME/host.conf" || true

echo "== krsoap monitor: stop the calculator, send a request, start it again"
$krsoap monitor stop calculator --config "$KRSOAP_HOME/host.conf"
$krsoap qm request '' CALC.REQUEST --wait 30000 < "$calc/requests/add.xml" > "$KRSOAP_HOME/while-stopped.out" &
requester=$!
for _ in $(seq 150); do  # up to 30 s for the request to arrive
  $krsoap qm queues '' | grep -q '^CALC.REQUEST .* 1 ' && break
  sleep 0.2
done
echo "-- the request waits on the queue:"
$krsoap qm queues '' | grep '^CALC.REQUEST '
$krsoap monitor start calculator --config "$KRSOAP_HOME/host.conf"
wait $requester
echo "-- answered after the start:"
cat "$KRSOAP_HOME/while-stopped.out"
echo

echo "== stop the host"
kill -TERM $host
wait $host
trap - EXIT
$krsoap reg add 'HKLM\SOFTWARE\Orvane\KRSoap' /v soapTrace /t REG_DWORD /d 0 /f >/dev/null

echo "== the host's trace (first lines)"
for f in "$KRSOAP_HOME"/Errors/KRSP*.trc; do
  echo "-- $f"
  head -n 40 "$f"
done
