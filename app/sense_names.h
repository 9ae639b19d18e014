#pragma once
// Names for what a drive answers: the sense keys, the common additional sense codes of optical
// drives, and the operation codes this program sends. A compact table of the program's own, so
// that the Windows program can name a failure in its log without any library.
#include <cstdint>
#include <string>

#include "drive/transport.h"

namespace kfs {

// "ILLEGAL REQUEST" for key 5; the key is taken modulo 16.
const char* SenseKeyName(std::uint8_t key);
// "INVALID FIELD IN CDB" for 24h/00h; nullptr for a code the table does not know.
const char* AdditionalSenseName(std::uint8_t code, std::uint8_t qualifier);
// "WRITE BUFFER" for 3Bh; nullptr for a vendor's or an unknown operation code.
const char* CommandName(std::uint8_t opcode);

// Key/code/qualifier in hexadecimal with their names: "05/24/00 ILLEGAL REQUEST, INVALID FIELD
// IN CDB"; an unknown code is named by the key alone.
std::string DescribeSense(const SenseData& sense);
// "3B WRITE BUFFER", or "D8" for a command without a name.
std::string DescribeCommand(std::uint8_t opcode);

}  // namespace kfs
