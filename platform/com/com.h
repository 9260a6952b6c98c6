// The COM and Automation runtime in one include: identifiers, result codes,
// interfaces, BSTR, VARIANT, SAFEARRAY and the task allocator. Activation,
// registration and type libraries add their headers below.
#pragma once

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/interfaces.h"
#include "platform/com/safearray.h"
#include "platform/com/taskmem.h"
#include "platform/com/variant.h"
