// Feeds arbitrary bytes to the RealAudio relay's readers of a player's stream: header records and
// control messages cut from it, the port rewrite of messages 1 and 7, and the server's robust
// answer. Nothing may read or write outside a record or message, and every taken piece keeps
// within its bound.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/proxy/streaming/realaudio_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string in = bytes, piece;
  for (int i = 0; i < 64 && realaudio::TakeRecord(in, &piece) == realaudio::Take::Whole; ++i) {
    if (piece.size() < 3 || piece.size() > realaudio::kMaxRecord) abort();
    if (realaudio::BuildStatusRecord(1, piece.substr(3)).size() > realaudio::kMaxRecord) abort();
  }
  in = bytes;
  for (int i = 0; i < 64 && realaudio::TakeControl(in, &piece) == realaudio::Take::Whole; ++i) {
    if (piece.size() < 4 || piece.size() > 4 + realaudio::kMaxControlPayload) abort();
    const uint16_t id = realaudio::Get16(piece, 0);
    if (id == 1 || id == 7) realaudio::Put16(piece, 4, 0x1234);
  }
  if (size >= 10) {
    std::string answer = bytes.substr(0, 10);
    if (realaudio::AcceptsRobust(answer)) realaudio::Put16(answer, 4, 0x1234);
  }
  return 0;
}
