// The Calculator's Add for gSOAP's soapcpp2, shaped as the example service's
// document/literal (wrapped) messages: <c:Add><c:a/><c:b/></c:Add> answered
// by <c:AddResponse><c:Result/></c:AddResponse>, namespace
// urn:krsoap-calculator. Only the benchmarks' gSOAP anchor uses it.
//gsoap c service name: calc
//gsoap c service style: document
//gsoap c service encoding: literal
//gsoap c service namespace: urn:krsoap-calculator
//gsoap c schema namespace: urn:krsoap-calculator
//gsoap c schema form: qualified
//gsoap c service method-action: Add "urn:krsoap-calculator#Add"
struct c__AddResponse { double Result; };
int c__Add(double a, double b, struct c__AddResponse* response);
