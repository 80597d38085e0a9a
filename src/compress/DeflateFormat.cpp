#include "compress/DeflateFormat.h"

#include "platform/Exceptions.h"

namespace deflate {

void raiseDataError() { throw Exception("Error in compressed data"); }
void raiseShortRead() { throw EInOutError("Read less than expected"); }

}  // namespace deflate
