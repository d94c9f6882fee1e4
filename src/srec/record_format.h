// What the reader and the writer share about record types.
#pragma once

namespace zelv {

// Address bytes of an S-record type ('0' to '9'): 2 for S0, S1, S5, S9; 3 for S2, S8; 4 for
// S3, S7; 0 for S4, S6 and anything else.
[[nodiscard]] unsigned srec_address_bytes(char type);

}  // namespace zelv
