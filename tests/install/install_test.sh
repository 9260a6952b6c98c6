#!/usr/bin/env bash
# The installed krsoap, tested from a staged installation only:
#   install_test.sh MODE BUILD_DIR SOURCE_DIR WORK_DIR [SANITIZER_FLAGS]
# MODE is out_of_tree, new_service or python_zeep (see CMakeLists.txt);
# SANITIZER_FLAGS, for a sanitized build, go to the program built here.
# Everything happens under WORK_DIR, with a data root of its own; a host
# started here is stopped on exit, and WORK_DIR is removed when the test
# passed. Exit 77 means skipped.
set -euo pipefail
mode=$1 build=$2 src=$3 work=$4 sanitizer=${5:-}

fail() { echo "FAILED: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
export KRSOAP_HOME=$work/home
export PATH=$prefix/bin:$PATH
host=
stop_host() {
  if [ -n "$host" ] && kill -0 "$host" 2>/dev/null; then
    kill -TERM "$host"
    wait "$host" || true
  fi
  host=
}
trap stop_host EXIT

# Starts "krsoap serve --config FILE" in the background and waits (30 s at
# most) until it says it listens.
start_host() {
  : >"$work/serve.log"
  krsoap serve --config "$1" 2>"$work/serve.log" &
  host=$!
  for _ in $(seq 300); do
    grep -q "listening on" "$work/serve.log" && return 0
    kill -0 "$host" 2>/dev/null || { cat "$work/serve.log" >&2; fail "krsoap serve ended"; }
    sleep 0.1
  done
  cat "$work/serve.log" >&2
  fail "krsoap serve did not start"
}

case "$mode" in
out_of_tree)
  for f in bin/krsoap bin/krcomgen lib/libkrplatform.so lib/libhalvex.so lib/libcorvel.so lib/libkrm.so \
           lib/libkrcl.so lib/libkrxml.so lib/libkrsoap.so lib/cmake/krsoap/krsoapConfig.cmake \
           lib/cmake/krsoap/KrsoapCom.cmake lib/pkgconfig/krsoap.pc include/krsoap/platform/com/server.h \
           include/krsoap/common/queue/krqueue.h include/krsoap/idl/soaptoolkit.idl \
           lib/python3/dist-packages/krsoap/transport.py; do
    [ -e "$prefix/$f" ] || fail "$f not installed"
  done
  # Nothing installed may point into the build tree.
  for f in "$prefix"/bin/* "$prefix"/lib/*.so; do
    runpath=$(readelf -d "$f" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    case "$runpath" in
      '$ORIGIN/../lib' | '$ORIGIN') ;;
      *) fail "$f has RUNPATH '$runpath'" ;;
    esac
  done
  # A moved installation still runs: the programs find their modules
  # through $ORIGIN, and setup registers them from there.
  mv "$prefix" "$work/moved"
  prefix=$work/moved
  export PATH=$prefix/bin:$PATH
  krsoap setup >"$work/setup.log" || { cat "$work/setup.log"; fail "krsoap setup"; }
  grep -q "$prefix/lib/libhalvex.so" "$work/setup.log" || fail "setup did not register the installed halvex"
  # pkg-config: a program against the platform runtime.
  cat >"$work/probe.cpp" <<'CPP'
#include "platform/com/server.h"
#include "common/queue/krqueue.h"
int main() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED) == S_OK ? 0 : 1; }
CPP
  flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs krsoap)
  c++ -std=c++20 $sanitizer "$work/probe.cpp" -o "$work/probe" $flags || fail "building against krsoap.pc"
  "$work/probe" || fail "the pkg-config probe"
  # The example service, built with find_package(krsoap) alone.
  cmake -S "$src/examples/calculator" -B "$work/calc" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_PREFIX_PATH="$prefix" >"$work/calc-config.log" || { cat "$work/calc-config.log"; fail "configure"; }
  cmake --build "$work/calc" >"$work/calc-build.log" || { cat "$work/calc-build.log"; fail "build"; }
  krsoap register "$work/calc/libkrcalculator.so" || fail "register the example built out of tree"
  krsoap clsid Krsoap.Calculator | grep -q "$work/calc/libkrcalculator.so" || fail "the class is not the new module's"
  krsoap qm define '' CALC.REQUEST >/dev/null
  cat >"$work/host.conf" <<CONF
[monitor calculator]
queue = CALC.REQUEST
wsdl = $src/examples/calculator/CalculatorQueue.wsdl
wsml = $src/examples/calculator/Calculator.wsml
status_file = $work/calculator.status
CONF
  start_host "$work/host.conf"
  out=$(krsoap call --wsdl "$src/examples/calculator/CalculatorQueue.wsdl" Add 2 3) || fail "call: $out"
  [ "$out" = 5 ] || fail "Add 2 3 gave: $out"
  ;;

python_zeep)
  /usr/bin/python3 -c 'import zeep' 2>/dev/null || { echo "python3-zeep is not installed"; exit 77; }
  krsoap setup >/dev/null
  krsoap qm define '' CALC.REQUEST >/dev/null
  cat >"$work/host.conf" <<CONF
[monitor calculator]
queue = CALC.REQUEST
wsdl = $prefix/share/krsoap/examples/calculator/CalculatorQueue.wsdl
wsml = $prefix/share/krsoap/examples/calculator/Calculator.wsml
status_file = $work/calculator.status
CONF
  start_host "$work/host.conf"
  PYTHONPATH=$prefix/lib/python3/dist-packages /usr/bin/python3 - \
      "$prefix/share/krsoap/examples/calculator/CalculatorQueue.wsdl" <<'PY' || fail "zeep over the queue"
import sys
import zeep
import krsoap

transport = krsoap.QueueTransport()
client = zeep.Client(sys.argv[1], transport=transport)
assert client.service.Add(a=2, b=3) == 5.0
assert client.service.Concat(a="qu", b="eue") == "queue"
assert client.service.Echo(text="<&> é") == "<&> é"
try:
    client.service.Divide(a=1, b=0)
    raise SystemExit("Divide by 0 gave no fault")
except zeep.exceptions.Fault as fault:
    assert "Division by zero" in fault.message, fault.message
# Several requests on one exchange, each answered with its own reply.
for i in range(20):
    assert client.service.Multiply(a=i, b=3) == i * 3
# An address that names no queue is refused before anything is sent.
try:
    krsoap.Exchange("krs:NOQUEUE")
    raise SystemExit("an address without '@' was accepted")
except ValueError:
    pass
transport.close()
print("zeep over krs: ok")
PY
  ;;

new_service)
  krsoap setup >/dev/null
  cd "$work"
  # Names that are no identifier, or that the generated code cannot carry,
  # and an existing directory: refused, nothing written.
  for bad in 1abc a-b '' class 'x/y' 'Grüß' "$(printf 'a%.0s' $(seq 41))"; do
    rc=0
    krsoap new service "$bad" 2>"$work/err" || rc=$?
    [ "$rc" -eq 2 ] || fail "new service '$bad' exited $rc: $(cat "$work/err")"
  done
  mkdir Taken
  rc=0
  krsoap new service Taken 2>"$work/err" || rc=$?
  [ "$rc" -eq 1 ] && grep -q "already exists" "$work/err" || fail "an existing directory: $rc $(cat "$work/err")"
  [ -z "$(ls -A Taken)" ] || fail "something was written into Taken"
  [ -z "$(ls -A | grep -v -e '^Taken$' -e '^prefix$' -e '^home$' -e '^err$' -e '^install.log$')" ] ||
    fail "left behind: $(ls -A)"

  # The path of docs/writing-a-service.md, five commands, timed.
  started=$(date +%s%N)
  krsoap new service Greeter >/dev/null
  cmake -S Greeter -B Greeter/build -G Ninja >"$work/config.log" || { cat "$work/config.log"; fail "configure"; }
  cmake --build Greeter/build >"$work/build.log" || { cat "$work/build.log"; fail "build"; }
  start_host Greeter/build/host.conf
  out=$(krsoap call --wsdl Greeter/build/Greeter.wsdl Hello name=World) || fail "call: $out"
  [ "$out" = "Hello, World!" ] || fail "Hello gave: $out"
  echo "the path took $(( ($(date +%s%N) - started) / 1000000 )) ms (wall clock)"
  stop_host

  # krsoap wsdl of the registered class, for another address.
  mkdir http
  krsoap wsdl Greeter.Greeter --address http://127.0.0.1:8080/greeter --out http >/dev/null || fail "wsdl PROGID"
  grep -q 'location="http://127.0.0.1:8080/greeter"' http/Greeter.wsdl || fail "the WSDL's address"
  grep -q 'PROGID="Greeter.Greeter"' http/Greeter.wsml || fail "the WSML's class"
  # A module without a type library, a class not registered, a bad address:
  # clear refusals, nothing written.
  mkdir none
  rc=0
  krsoap wsdl "$prefix/lib/libkrm.so" --address krs:Q@ --out none 2>"$work/err" || rc=$?
  [ "$rc" -eq 1 ] && grep -q "no type library" "$work/err" || fail "module without a type library: $rc $(cat "$work/err")"
  rc=0
  krsoap wsdl No.Such.Class --address krs:Q@ --out none 2>"$work/err" || rc=$?
  [ "$rc" -eq 1 ] || fail "an unknown class: $rc $(cat "$work/err")"
  for address in krs:NOQUEUE 'ftp://x' ''; do
    rc=0
    krsoap wsdl Greeter.Greeter --address "$address" --out none 2>"$work/err" || rc=$?
    [ "$rc" -eq 2 ] || fail "address '$address': $rc $(cat "$work/err")"
  done
  [ -z "$(ls -A none)" ] || fail "written: $(ls -A none)"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
stop_host
# The staged installation is large (debug information); kept only when the
# test failed, for a look at what went wrong.
cd /
rm -rf "$work"
echo "$mode: ok"
