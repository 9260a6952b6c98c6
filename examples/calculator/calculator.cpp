// The example Calculator service: one COM class (ProgID "Krsoap.Calculator")
// whose methods the SOAP server calls through IDispatch (Crash only through
// a mapping of the soak's own). Divide by zero
// fails with its own description, handed to the caller in EXCEPINFO so that
// it becomes the SOAP fault's text.
#include <signal.h>
#include <unistd.h>

#include <string>

#include "calculator.h"
#include "platform/com/server.h"

namespace {

using krsoap::com::BstrView;

// The description of the error the current call is about to return; read by
// Invoke on the same thread right after the method returns.
thread_local const char* t_error = nullptr;

class CCalculator : public krsoap::com::ObjectRoot,
                    public krsoap::com::DispatchImpl<ICalculator, &LIBID_KRCALCULATORLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CCalculator)
    KR_INTERFACE_ENTRY(ICalculator)
    KR_INTERFACE_ENTRY2(IDispatch, ICalculator)
  KR_END_INTERFACE_MAP()

  HRESULT Add(double a, double b, double* result) override { return Set(result, a + b); }
  HRESULT Subtract(double a, double b, double* result) override { return Set(result, a - b); }
  HRESULT Multiply(double a, double b, double* result) override { return Set(result, a * b); }
  HRESULT Divide(double a, double b, double* result) override {
    if (b == 0) {
      t_error = "Division by zero: the divisor b must not be 0";
      return DISP_E_DIVBYZERO;
    }
    return Set(result, a / b);
  }
  HRESULT Echo(BSTR text, BSTR* result) override {
    if (!result) return E_POINTER;
    *result = krsoap::com::AllocBstr(BstrView(text));
    return *result ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT Concat(BSTR a, BSTR b, BSTR* result) override {
    if (!result) return E_POINTER;
    std::u16string joined(BstrView(a));
    joined += BstrView(b);
    *result = krsoap::com::AllocBstr(joined);
    return *result ? S_OK : E_OUTOFMEMORY;
  }

  // What a service that crashes does to its host: the soak and the tests of
  // transactional serving map an operation to it in a WSML of their own.
  HRESULT Crash(BSTR, BSTR) override {
    ::kill(::getpid(), SIGKILL);
    return E_UNEXPECTED;
  }

  // The generic dispatch reports a failing method with the code's standard
  // text; the method's own description replaces it.
  HRESULT Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_err) override {
    t_error = nullptr;
    HRESULT hr = DispatchImpl::Invoke(member, iid, lcid, flags, params, result, excepinfo, arg_err);
    if (hr == DISP_E_EXCEPTION && excepinfo && t_error) {
      SysFreeString(excepinfo->bstrDescription);
      excepinfo->bstrDescription = krsoap::com::AllocBstrFromUtf8(t_error);
      SysFreeString(excepinfo->bstrSource);
      excepinfo->bstrSource = krsoap::com::AllocBstrFromUtf8("Krsoap.Calculator");
    }
    t_error = nullptr;
    return hr;
  }

 private:
  static HRESULT Set(double* out, double value) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
  }
};

}  // namespace

KR_BEGIN_OBJECT_MAP(kObjectMap)
  KR_OBJECT_ENTRY(CLSID_Calculator, CCalculator, 101)
KR_END_OBJECT_MAP()

KR_SERVER_MODULE(kObjectMap, &LIBID_KRCALCULATORLib, nullptr)
