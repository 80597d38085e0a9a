#include "compress/FixedBlock.h"

TFixedBlock::TFixedBlock(TBitWriter& out) : out_(out) {
    literalCodes_.SetCount(deflate::LiteralSymbols);
    distanceCodes_.SetCount(deflate::DistanceSymbols);
}

// The codes are set with the first block: most streams write none of this type.
void TFixedBlock::Begin(bool last) {
    out_.PutBlockHeader(last, deflate::FixedBlock);
    if (codesSet_) return;
    literalCodes_.SetFixedLiteralCodes();
    distanceCodes_.SetFixedCodes(deflate::FixedDistanceBits);
    codesSet_ = true;
}
