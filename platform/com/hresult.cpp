// Names and descriptions of HRESULT codes, for traces and error output.
#include "platform/com/hresult.h"

#include <cstdio>

namespace krsoap::com {
namespace {

struct CodeText {
  HRESULT code;
  const char* name;
  const char* message;
};

// In the order of hresult.h; where two names share a value the first wins.
constexpr CodeText kCodes[] = {
    {KR_HRESULT(0x00000000), "S_OK", "Success"},
    {KR_HRESULT(0x00000001), "S_FALSE", "Success (false)"},
    {KR_HRESULT(0x80004001), "E_NOTIMPL", "Not implemented"},
    {KR_HRESULT(0x80004002), "E_NOINTERFACE", "No such interface supported"},
    {KR_HRESULT(0x80004003), "E_POINTER", "Invalid pointer"},
    {KR_HRESULT(0x80004004), "E_ABORT", "Operation aborted"},
    {KR_HRESULT(0x80004005), "E_FAIL", "Unspecified error"},
    {KR_HRESULT(0x8000000A), "E_PENDING", "The data necessary to complete this operation is not yet available"},
    {KR_HRESULT(0x8000000B), "E_BOUNDS", "The operation attempted to access data outside the valid range"},
    {KR_HRESULT(0x8000FFFF), "E_UNEXPECTED", "Catastrophic failure"},
    {KR_HRESULT(0x80070005), "E_ACCESSDENIED", "Access is denied"},
    {KR_HRESULT(0x80070006), "E_HANDLE", "The handle is invalid"},
    {KR_HRESULT(0x8007000E), "E_OUTOFMEMORY", "Not enough memory resources are available to complete this operation"},
    {KR_HRESULT(0x80070057), "E_INVALIDARG", "The parameter is incorrect"},
    {KR_HRESULT(0x80040110), "CLASS_E_NOAGGREGATION", "Class does not support aggregation (or class object is remote)"},
    {KR_HRESULT(0x80040111), "CLASS_E_CLASSNOTAVAILABLE", "ClassFactory cannot supply requested class"},
    {KR_HRESULT(0x80040112), "CLASS_E_NOTLICENSED", "Class is not licensed for use"},
    {KR_HRESULT(0x80040150), "REGDB_E_READREGDB", "Could not read key from registry"},
    {KR_HRESULT(0x80040151), "REGDB_E_WRITEREGDB", "Could not write key to registry"},
    {KR_HRESULT(0x80040152), "REGDB_E_KEYMISSING", "Could not find the key in the registry"},
    {KR_HRESULT(0x80040153), "REGDB_E_INVALIDVALUE", "Invalid value for registry"},
    {KR_HRESULT(0x80040154), "REGDB_E_CLASSNOTREG", "Class not registered"},
    {KR_HRESULT(0x80040155), "REGDB_E_IIDNOTREG", "Interface not registered"},
    {KR_HRESULT(0x80040156), "REGDB_E_BADTHREADINGMODEL", "Threading model entry is not valid"},
    {KR_HRESULT(0x80040200), "CONNECT_E_NOCONNECTION", "No connection for this connection ID"},
    {KR_HRESULT(0x80040201), "CONNECT_E_ADVISELIMIT", "Limit on the number of connections has been reached"},
    {KR_HRESULT(0x80040202), "CONNECT_E_CANNOTCONNECT", "Cannot connect"},
    {KR_HRESULT(0x80040203), "CONNECT_E_OVERRIDDEN", "Must use a derived interface to connect"},
    {KR_HRESULT(0x80040200), "SELFREG_E_TYPELIB", "Failed to register/unregister type library"},
    {KR_HRESULT(0x80040201), "SELFREG_E_CLASS", "Failed to register/unregister class"},
    {KR_HRESULT(0x800401F0), "CO_E_NOTINITIALIZED", "CoInitialize has not been called"},
    {KR_HRESULT(0x800401F1), "CO_E_ALREADYINITIALIZED", "CoInitialize has already been called"},
    {KR_HRESULT(0x800401F2), "CO_E_CANTDETERMINECLASS", "Class of object cannot be determined"},
    {KR_HRESULT(0x800401F3), "CO_E_CLASSSTRING", "Invalid class string"},
    {KR_HRESULT(0x800401F4), "CO_E_IIDSTRING", "Invalid interface string"},
    {KR_HRESULT(0x800401F5), "CO_E_APPNOTFOUND", "Application not found"},
    {KR_HRESULT(0x800401F6), "CO_E_APPSINGLEUSE", "Application cannot be run more than once"},
    {KR_HRESULT(0x800401F7), "CO_E_ERRORINAPP", "Some error in application program"},
    {KR_HRESULT(0x800401F8), "CO_E_DLLNOTFOUND", "DLL for class not found"},
    {KR_HRESULT(0x800401F9), "CO_E_ERRORINDLL", "Error in the DLL"},
    {KR_HRESULT(0x800401FA), "CO_E_WRONGOSFORAPP", "Wrong operating system or operating system version for application"},
    {KR_HRESULT(0x800401FB), "CO_E_OBJNOTREG", "Object is not registered"},
    {KR_HRESULT(0x800401FC), "CO_E_OBJISREG", "Object is already registered"},
    {KR_HRESULT(0x800401FD), "CO_E_OBJNOTCONNECTED", "Object is not connected to server"},
    {KR_HRESULT(0x800401FE), "CO_E_APPDIDNTREG", "Application was launched but it did not register a class factory"},
    {KR_HRESULT(0x800401FF), "CO_E_RELEASED", "Object has been released"},
    {KR_HRESULT(0x80004021), "CO_E_NOT_SUPPORTED", "This operation is not supported"},
    {KR_HRESULT(0x80080005), "CO_E_SERVER_EXEC_FAILURE", "Server execution failed"},
    {KR_HRESULT(0x00080012), "CO_S_NOTALLINTERFACES", "Not all the requested interfaces were available"},
    {KR_HRESULT(0x80030001), "STG_E_INVALIDFUNCTION", "Unable to perform requested operation"},
    {KR_HRESULT(0x80030002), "STG_E_FILENOTFOUND", "The file could not be found"},
    {KR_HRESULT(0x80030003), "STG_E_PATHNOTFOUND", "The path could not be found"},
    {KR_HRESULT(0x80030004), "STG_E_TOOMANYOPENFILES", "There are insufficient resources to open another file"},
    {KR_HRESULT(0x80030005), "STG_E_ACCESSDENIED", "Access denied"},
    {KR_HRESULT(0x80030006), "STG_E_INVALIDHANDLE", "Attempted an operation on an invalid object"},
    {KR_HRESULT(0x80030008), "STG_E_INSUFFICIENTMEMORY", "There is insufficient memory available to complete operation"},
    {KR_HRESULT(0x80030009), "STG_E_INVALIDPOINTER", "Invalid pointer error"},
    {KR_HRESULT(0x80030012), "STG_E_NOMOREFILES", "There are no more entries to return"},
    {KR_HRESULT(0x80030013), "STG_E_DISKISWRITEPROTECTED", "Disk is write-protected"},
    {KR_HRESULT(0x80030019), "STG_E_SEEKERROR", "An error occurred during a seek operation"},
    {KR_HRESULT(0x8003001D), "STG_E_WRITEFAULT", "A disk error occurred during a write operation"},
    {KR_HRESULT(0x8003001E), "STG_E_READFAULT", "A disk error occurred during a read operation"},
    {KR_HRESULT(0x80030020), "STG_E_SHAREVIOLATION", "A share violation has occurred"},
    {KR_HRESULT(0x80030021), "STG_E_LOCKVIOLATION", "A lock violation has occurred"},
    {KR_HRESULT(0x80030050), "STG_E_FILEALREADYEXISTS", "File already exists"},
    {KR_HRESULT(0x80030057), "STG_E_INVALIDPARAMETER", "Invalid parameter error"},
    {KR_HRESULT(0x80030070), "STG_E_MEDIUMFULL", "There is insufficient disk space to complete operation"},
    {KR_HRESULT(0x800300FB), "STG_E_INVALIDHEADER", "The file is not a valid compound file"},
    {KR_HRESULT(0x800300FC), "STG_E_INVALIDNAME", "The name is not valid"},
    {KR_HRESULT(0x800300FD), "STG_E_UNKNOWN", "An unexpected error occurred"},
    {KR_HRESULT(0x800300FE), "STG_E_UNIMPLEMENTEDFUNCTION", "That function is not implemented"},
    {KR_HRESULT(0x800300FF), "STG_E_INVALIDFLAG", "Invalid flag error"},
    {KR_HRESULT(0x80030100), "STG_E_INUSE", "Attempted to use an object that is busy"},
    {KR_HRESULT(0x80030101), "STG_E_NOTCURRENT", "The storage has been changed since the last commit"},
    {KR_HRESULT(0x80030102), "STG_E_REVERTED", "Attempted to use an object that has ceased to exist"},
    {KR_HRESULT(0x80030103), "STG_E_CANTSAVE", "Cannot save"},
    {KR_HRESULT(0x80030104), "STG_E_OLDFORMAT", "The compound file was produced with an incompatible version of storage"},
    {KR_HRESULT(0x80030105), "STG_E_OLDDLL", "The compound file was produced with a newer version of storage"},
    {KR_HRESULT(0x80030106), "STG_E_SHAREREQUIRED", "Share must be loaded"},
    {KR_HRESULT(0x80030107), "STG_E_NOTFILEBASEDSTORAGE", "Illegal operation called on non-file based storage"},
    {KR_HRESULT(0x80030108), "STG_E_EXTANTMARSHALLINGS", "Illegal operation called on object with extant marshallings"},
    {KR_HRESULT(0x80020001), "DISP_E_UNKNOWNINTERFACE", "Unknown interface"},
    {KR_HRESULT(0x80020003), "DISP_E_MEMBERNOTFOUND", "Member not found"},
    {KR_HRESULT(0x80020004), "DISP_E_PARAMNOTFOUND", "Parameter not found"},
    {KR_HRESULT(0x80020005), "DISP_E_TYPEMISMATCH", "Type mismatch"},
    {KR_HRESULT(0x80020006), "DISP_E_UNKNOWNNAME", "Unknown name"},
    {KR_HRESULT(0x80020007), "DISP_E_NONAMEDARGS", "No named arguments"},
    {KR_HRESULT(0x80020008), "DISP_E_BADVARTYPE", "Bad variable type"},
    {KR_HRESULT(0x80020009), "DISP_E_EXCEPTION", "Exception occurred"},
    {KR_HRESULT(0x8002000A), "DISP_E_OVERFLOW", "Out of present range"},
    {KR_HRESULT(0x8002000B), "DISP_E_BADINDEX", "Invalid index"},
    {KR_HRESULT(0x8002000C), "DISP_E_UNKNOWNLCID", "Unknown language"},
    {KR_HRESULT(0x8002000D), "DISP_E_ARRAYISLOCKED", "Memory is locked"},
    {KR_HRESULT(0x8002000E), "DISP_E_BADPARAMCOUNT", "Invalid number of parameters"},
    {KR_HRESULT(0x8002000F), "DISP_E_PARAMNOTOPTIONAL", "Parameter not optional"},
    {KR_HRESULT(0x80020010), "DISP_E_BADCALLEE", "Invalid callee"},
    {KR_HRESULT(0x80020011), "DISP_E_NOTACOLLECTION", "Does not support a collection"},
    {KR_HRESULT(0x80020012), "DISP_E_DIVBYZERO", "Division by zero"},
    {KR_HRESULT(0x80020013), "DISP_E_BUFFERTOOSMALL", "Buffer too small"},
    {KR_HRESULT(0x80028016), "TYPE_E_BUFFERTOOSMALL", "Buffer too small"},
    {KR_HRESULT(0x80028017), "TYPE_E_FIELDNOTFOUND", "Field name not defined in the record"},
    {KR_HRESULT(0x80028018), "TYPE_E_INVDATAREAD", "Old format or invalid type library"},
    {KR_HRESULT(0x80028019), "TYPE_E_UNSUPFORMAT", "Old format or invalid type library"},
    {KR_HRESULT(0x8002801C), "TYPE_E_REGISTRYACCESS", "Error accessing the OLE registry"},
    {KR_HRESULT(0x8002801D), "TYPE_E_LIBNOTREGISTERED", "Library not registered"},
    {KR_HRESULT(0x80028027), "TYPE_E_UNDEFINEDTYPE", "Bound to unknown type"},
    {KR_HRESULT(0x80028028), "TYPE_E_QUALIFIEDNAMEDISALLOWED", "Qualified name disallowed"},
    {KR_HRESULT(0x80028029), "TYPE_E_INVALIDSTATE", "Invalid forward reference, or reference to uncompiled type"},
    {KR_HRESULT(0x8002802A), "TYPE_E_WRONGTYPEKIND", "Type mismatch"},
    {KR_HRESULT(0x8002802B), "TYPE_E_ELEMENTNOTFOUND", "Element not found"},
    {KR_HRESULT(0x8002802C), "TYPE_E_AMBIGUOUSNAME", "Ambiguous name"},
    {KR_HRESULT(0x8002802D), "TYPE_E_NAMECONFLICT", "Name already exists in the library"},
    {KR_HRESULT(0x8002802E), "TYPE_E_UNKNOWNLCID", "Unknown LCID"},
    {KR_HRESULT(0x8002802F), "TYPE_E_DLLFUNCTIONNOTFOUND", "Function not defined in specified DLL"},
    {KR_HRESULT(0x800288BD), "TYPE_E_BADMODULEKIND", "Wrong module kind for the operation"},
    {KR_HRESULT(0x800288C5), "TYPE_E_SIZETOOBIG", "Size may not exceed 64K"},
    {KR_HRESULT(0x800288C6), "TYPE_E_DUPLICATEID", "Duplicate ID in inheritance hierarchy"},
    {KR_HRESULT(0x800288CF), "TYPE_E_INVALIDID", "Incorrect inheritance depth in standard OLE hmember"},
    {KR_HRESULT(0x80028CA0), "TYPE_E_TYPEMISMATCH", "Type mismatch"},
    {KR_HRESULT(0x80028CA1), "TYPE_E_OUTOFBOUNDS", "Invalid number of arguments"},
    {KR_HRESULT(0x80028CA2), "TYPE_E_IOERROR", "I/O error"},
    {KR_HRESULT(0x80028CA3), "TYPE_E_CANTCREATETMPFILE", "Error creating unique tmp file"},
    {KR_HRESULT(0x80029C4A), "TYPE_E_CANTLOADLIBRARY", "Error loading type library/DLL"},
    {KR_HRESULT(0x80029C83), "TYPE_E_INCONSISTENTPROPFUNCS", "Inconsistent property functions"},
    {KR_HRESULT(0x80029C84), "TYPE_E_CIRCULARTYPE", "Circular dependency between types/modules"},
    {KR_HRESULT(0x80010001), "RPC_E_CALL_REJECTED", "Call was rejected by callee"},
    {KR_HRESULT(0x80010002), "RPC_E_CALL_CANCELED", "Call was canceled by the message filter"},
    {KR_HRESULT(0x80010003), "RPC_E_CANTPOST_INSENDCALL", "The caller is dispatching an intertask SendMessage call and cannot call out via PostMessage"},
    {KR_HRESULT(0x80010004), "RPC_E_CANTCALLOUT_INASYNCCALL", "The caller is dispatching an asynchronous call and cannot make an outgoing call on behalf of this call"},
    {KR_HRESULT(0x80010005), "RPC_E_CANTCALLOUT_INEXTERNALCALL", "It is illegal to call out while inside message filter"},
    {KR_HRESULT(0x80010006), "RPC_E_CONNECTION_TERMINATED", "The connection terminated or is in a bogus state and can no longer be used"},
    {KR_HRESULT(0x80010007), "RPC_E_SERVER_DIED", "The callee (server) is not available and disappeared; all connections are invalid"},
    {KR_HRESULT(0x80010008), "RPC_E_CLIENT_DIED", "The caller (client) disappeared while the callee (server) was processing a call"},
    {KR_HRESULT(0x80010009), "RPC_E_INVALID_DATAPACKET", "The data packet with the marshalled parameter data is incorrect"},
    {KR_HRESULT(0x8001000A), "RPC_E_CANTTRANSMIT_CALL", "The call was not transmitted properly"},
    {KR_HRESULT(0x8001000B), "RPC_E_CLIENT_CANTMARSHAL_DATA", "The client (caller) cannot marshal the parameter data"},
    {KR_HRESULT(0x8001000C), "RPC_E_CLIENT_CANTUNMARSHAL_DATA", "The client (caller) cannot unmarshal the return data"},
    {KR_HRESULT(0x8001000D), "RPC_E_SERVER_CANTMARSHAL_DATA", "The server (callee) cannot marshal the return data"},
    {KR_HRESULT(0x8001000E), "RPC_E_SERVER_CANTUNMARSHAL_DATA", "The server (callee) cannot unmarshal the parameter data"},
    {KR_HRESULT(0x8001000F), "RPC_E_INVALID_DATA", "Received data is invalid"},
    {KR_HRESULT(0x80010010), "RPC_E_INVALID_PARAMETER", "A particular parameter is invalid and cannot be (un)marshalled"},
    {KR_HRESULT(0x80010011), "RPC_E_CANTCALLOUT_AGAIN", "There is no second outgoing call on same channel in DDE conversation"},
    {KR_HRESULT(0x80010012), "RPC_E_SERVER_DIED_DNE", "The callee (server) is not available and disappeared; all connections are invalid; the call did not execute"},
    {KR_HRESULT(0x80010100), "RPC_E_SYS_CALL_FAILED", "System call failed"},
    {KR_HRESULT(0x80010101), "RPC_E_OUT_OF_RESOURCES", "Could not allocate some required resource"},
    {KR_HRESULT(0x80010102), "RPC_E_ATTEMPTED_MULTITHREAD", "Attempted to make calls on more than one thread in single threaded mode"},
    {KR_HRESULT(0x80010103), "RPC_E_NOT_REGISTERED", "The requested interface is not registered on the server object"},
    {KR_HRESULT(0x80010104), "RPC_E_FAULT", "RPC could not call the server or could not return the results of calling the server"},
    {KR_HRESULT(0x80010105), "RPC_E_SERVERFAULT", "The server threw an exception"},
    {KR_HRESULT(0x80010106), "RPC_E_CHANGED_MODE", "Cannot change thread mode after it is set"},
    {KR_HRESULT(0x80010107), "RPC_E_INVALIDMETHOD", "The method called does not exist on the server"},
    {KR_HRESULT(0x80010108), "RPC_E_DISCONNECTED", "The object invoked has disconnected from its clients"},
    {KR_HRESULT(0x80010109), "RPC_E_RETRY", "The object invoked chose not to process the call now; try again later"},
    {KR_HRESULT(0x8001010A), "RPC_E_SERVERCALL_RETRYLATER", "The message filter indicated that the application is busy"},
    {KR_HRESULT(0x8001010B), "RPC_E_SERVERCALL_REJECTED", "The message filter rejected the call"},
    {KR_HRESULT(0x8001010C), "RPC_E_INVALID_CALLDATA", "A call control interface was called with invalid data"},
    {KR_HRESULT(0x8001010D), "RPC_E_CANTCALLOUT_ININPUTSYNCCALL", "An outgoing call cannot be made since the application is dispatching an input-synchronous call"},
    {KR_HRESULT(0x8001010E), "RPC_E_WRONG_THREAD", "The application called an interface that was marshalled for a different thread"},
    {KR_HRESULT(0x8001010F), "RPC_E_THREAD_NOT_INIT", "CoInitialize has not been called on the current thread"},
    {KR_HRESULT(0x8001011F), "RPC_E_TIMEOUT", "This operation returned because the timeout period expired"},
    {KR_HRESULT(0x8001FFFF), "RPC_E_UNEXPECTED", "An internal error occurred"},
};

const CodeText* Find(HRESULT hr) {
  for (const CodeText& entry : kCodes) {
    if (entry.code == hr) return &entry;
  }
  return nullptr;
}

std::string Hex(const char* prefix, HRESULT hr) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%s0x%08X", prefix, static_cast<unsigned>(hr));
  return buffer;
}

}  // namespace

const char* HResultNameOrNull(HRESULT hr) {
  const CodeText* entry = Find(hr);
  return entry ? entry->name : nullptr;
}

std::string HResultName(HRESULT hr) {
  const CodeText* entry = Find(hr);
  return entry ? std::string(entry->name) : Hex("", hr);
}

std::string HResultText(HRESULT hr) {
  const char* name = HResultNameOrNull(hr);
  const std::string value = Hex("", hr);
  return name ? value + " (" + name + ")" : value;
}

std::string HResultMessage(HRESULT hr) {
  if (const CodeText* entry = Find(hr)) return entry->message;
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && FAILED(hr)) {
    return "Win32 error " + std::to_string(HRESULT_CODE(hr));
  }
  return Hex("Unknown error ", hr);
}

}  // namespace krsoap::com
