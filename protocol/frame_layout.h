#pragma once
// Frames of the power-system line (the telecom power-supply frame of
// YD/T 1363.3). Between SOI and EOI every field travels as upper-case ASCII
// hex, two characters a byte:
//
//   SOI  VER ADR CID1 CID2|RTN  LENGTH  INFO         CHKSUM  EOI
//   7E   2   2   2    2         4       LENID chars  4       0D
//
// CID2 in commands, RTN in answers (0x00: normal). LENGTH = LCHKSUM (4 bits)
// then LENID (12 bits), the count of INFO *characters*; LCHKSUM makes LENID's
// three nibbles and itself sum to 0 mod 16. CHKSUM makes every character
// between SOI and CHKSUM, and CHKSUM itself, sum to 0 mod 65536.
//
// A decoded frame, as the master reads it at rx_frame:
//   0 VER   1 ADR   2 CID1   3 RTN (CID2 for commands)
//   4..5  LENID (INFO characters) little-endian, without LCHKSUM
//   6..   INFO bytes (LENID / 2 of them)
//
// Standard library only, constexpr data: the plug-in's code may include it.
#include <cstddef>
#include <cstdint>

namespace frame {

inline constexpr uint8_t kSoi = 0x7E;
inline constexpr uint8_t kEoi = 0x0D;
inline constexpr size_t kHeaderChars = 12;  // VER ADR CID1 CID2|RTN LENGTH
inline constexpr size_t kChecksumChars = 4;
inline constexpr size_t kMinChars = kHeaderChars + kChecksumChars;  // characters between SOI and EOI
inline constexpr size_t kMaxLenid = 0xFFE;                          // the largest even 12-bit LENID
inline constexpr size_t kMaxInfoBytes = kMaxLenid / 2;
inline constexpr size_t kMaxChars = kMinChars + kMaxLenid;
inline constexpr size_t kDecodedHeaderBytes = 6;

}  // namespace frame
