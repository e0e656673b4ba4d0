// The parser object's creation function.
#include <new>

#include "faultreader_object.h"

extern "C" FAULTREADER_API int DllCreateFaultreaderObject(IFaultreader** ppReader) {
    if (ppReader == nullptr)
        return 0;
    *ppReader = new (std::nothrow) faultreader::CFaultreader;
    return *ppReader != nullptr ? 1 : 0;
}
