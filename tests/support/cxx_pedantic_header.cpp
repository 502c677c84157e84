// The public header compiles as pedantic C++ too.
#include "tavrodev.h"

int TavroHeaderCompilesAsPedanticCxx() { return TV_GetDataPacketInterval(); }
