#include "net/SocketTrace.h"

int SocketTraceLog = 0;
