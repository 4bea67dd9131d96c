#pragma once
// A PNG row filtered with the type, of all five, whose bytes read as signed
// numbers have the least sum of magnitudes (the usual heuristic: small
// differences pack best).
#include <cstddef>
#include <cstdint>

namespace quenlo {

// row and above hold n bytes of pixels of bpp (1 to 4) bytes each, and both
// have bpp zero bytes before them, the left neighbours of the first pixel;
// above the first row is a row of zeros. out gets the filter type, then the
// n filtered bytes; it must not overlap the rows.
void FilterPngRow(const uint8_t* row, const uint8_t* above, size_t n, size_t bpp, uint8_t* out);

// The plain byte loop, kept as the reference the fast path is held to.
void FilterPngRowReference(const uint8_t* row, const uint8_t* above, size_t n, size_t bpp, uint8_t* out);

}  // namespace quenlo
