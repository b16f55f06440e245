// Feeds arbitrary bytes to the XDMA relay's reading and writing of a player's datagram: the first
// datagram's server, port and stream name, and the fields written before it goes to the server.
// Nothing may read or write outside the datagram; the name never runs past it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/proxy/streaming/xdma_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so any read past the datagram is caught.
  std::vector<uint8_t> datagram(data, data + size);
  xdma::FirstDatagram first;
  if (xdma::ParseFirst(datagram.data(), datagram.size(), &first)) {
    if (size < xdma::kMinDatagram) abort();
    if (!first.stream.empty() && first.stream.size() + xdma::kStreamNameOffset >= size) abort();
    if (first.port > 0xFFFF) abort();
  } else if (size >= xdma::kMinDatagram) {
    abort();
  }
  const bool marked = xdma::MarkForServer(datagram.data(), datagram.size(), 0x1234);
  if (marked != (size >= xdma::kMinDatagram)) abort();
  if (marked && (datagram[8] != 0x12 || datagram[9] != 0x34 || !(datagram[1] & 1))) abort();
  return 0;
}
