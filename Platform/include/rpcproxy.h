// <rpcproxy.h>: The RPC runtime's proxy/stub entry points.
#pragma once

#include "rpc/rpcproxy.h"
