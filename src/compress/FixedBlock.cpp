#include "compress/FixedBlock.h"

TFixedBlock::TFixedBlock(TBitWriter& out) : out_(out) {
    literalCodes_.SetCount(deflate::LiteralSymbols);
    literalCodes_.SetFixedLiteralCodes();
    distanceCodes_.SetCount(deflate::DistanceSymbols);
    distanceCodes_.SetFixedCodes(deflate::FixedDistanceBits);
}
