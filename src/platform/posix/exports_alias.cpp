// The library-information call is exported under a second name.  The DLL
// maps both names to one function in its module-definition file; the ELF
// library forwards the second name to the first.
#include "kvinit64.h"

extern "C" uint32_t RE1DBDADF2C91EAD6b(QDKlibInfoRec *info) { return QDKgetLibInfo(info); }
