// All interface declarations of the COM runtime in one include.
#pragma once

#include "platform/com/dispatch.h"
#include "platform/com/marshal.h"
#include "platform/com/stream.h"
#include "platform/com/unknwn.h"
