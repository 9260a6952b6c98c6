// The mapping file (WSML) that ties a service's operations to the objects
// serving them:
//
//   <servicemapping name="S">
//     <service name="S">
//       <using PROGID="Krsoap.Calculator" cachable="1" ID="CalcObj"/>
//       <port name="P">
//         <operation name="Add">
//           <execute uses="CalcObj" method="Add" dispID="1">
//             <parameter callIndex="1" name="a" elementName="a"/>
//             <parameter callIndex="-1" name="retval" elementName="Result"/>
//           </execute>
//         </operation>
//       </port>
//     </service>
//   </servicemapping>
//
// `using` declares an object by ProgID under an ID; cachable="1" keeps one
// object for every call. `execute` runs a method by name (or by dispID);
// each `parameter` puts the message element `elementName` at the method's
// parameter `callIndex` (1-based), -1 being the return value.
#pragma once

#include <string>

#include "platform/soap/wsdl_model.h"

namespace krsoap::soap {

// Reads the mapping text and records it in the operations of `model`.
// False with `error` set when the text is malformed or names a service,
// port, operation, object or message element that does not exist.
bool ApplyMapping(const std::string& wsml_text, ServiceModel* model, std::string* error);

}  // namespace krsoap::soap
