// Arbitrary sequences of traffic events into the capture file: every block it writes keeps the pcapng
// lengths and alignment, and every packet its IP lengths and checksums.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "log/capture_file.h"
#include "tests/fuzz/fuzz_check.h"

using tapline::log::CaptureFile;
using tapline::log::Direction;
using tapline::log::TimePoint;
using tapline::platform::Endpoint;

namespace {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

Endpoint AnEndpoint(std::uint8_t kind, std::uint16_t port) {
  static const char* const kAddresses[] = {"127.0.0.1", "::1", "::ffff:10.0.0.1", "fd00::1", "203.0.113.7"};
  if (kind % 6 == 5) return Endpoint{};
  return *Endpoint::FromAddressText(kAddresses[kind % 6], port);
}

std::uint32_t Get32(const std::string& s, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

std::uint16_t Get16(const std::string& s, std::size_t at) {
  std::uint16_t v;
  std::memcpy(&v, s.data() + at, 2);
  return v;
}

unsigned Big16(const unsigned char* p) { return static_cast<unsigned>(p[0] << 8 | p[1]); }

// The Internet checksum the plain way: big-endian words, an odd byte padded; 0 when all is well.
std::uint32_t Fold(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}
std::uint32_t Add(std::uint32_t sum, const unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 2) sum = Fold(sum + (p[i] << 8) + (i + 1 < n ? p[i + 1] : 0));
  return sum;
}

void CheckPacket(const unsigned char* p, std::uint32_t length) {
  FUZZ_CHECK(length >= 20, "packet of %u bytes", length);
  std::uint32_t sum = 0;
  std::uint32_t ipHeader = 0;
  if (p[0] >> 4 == 4) {
    ipHeader = 20;
    FUZZ_CHECK(p[0] == 0x45 && Big16(p + 2) == length, "IPv4 length %u for %u", Big16(p + 2), length);
    FUZZ_CHECK(Fold(Add(0, p, 20)) == 0xFFFF, "IPv4 header checksum");
    sum = Add(0, p + 12, 8) + 6 + (length - 20);
  } else {
    ipHeader = 40;
    FUZZ_CHECK(p[0] >> 4 == 6 && length >= 60 && Big16(p + 4) + 40u == length, "IPv6 length for %u", length);
    FUZZ_CHECK(p[6] == 6, "next header %u", p[6]);
    sum = Add(0, p + 8, 32) + 6 + (length - 40);
  }
  const unsigned char* tcp = p + ipHeader;
  const std::uint32_t tcpLength = length - ipHeader;
  const std::uint32_t header = (tcp[12] >> 4) * 4u;
  FUZZ_CHECK(header >= 20 && header <= tcpLength, "TCP header %u in %u", header, tcpLength);
  FUZZ_CHECK(tcpLength - header <= CaptureFile::kMaxSegment, "segment of %u", tcpLength - header);
  FUZZ_CHECK(Fold(Add(Fold(sum), tcp, tcpLength)) == 0xFFFF, "TCP checksum");
}

// Walks the blocks: section header, interface, then packets; each length a multiple of four, repeated
// at the block's end, options inside it.
void CheckFile(const std::string& s) {
  std::size_t at = 0;
  int blocks = 0;
  while (at < s.size()) {
    FUZZ_CHECK(s.size() - at >= 12, "a %zu-byte tail at %zu", s.size() - at, at);
    const std::uint32_t type = Get32(s, at);
    const std::uint32_t length = Get32(s, at + 4);
    FUZZ_CHECK(length >= 12 && length % 4 == 0 && length <= s.size() - at, "block length %u at %zu", length, at);
    FUZZ_CHECK(Get32(s, at + length - 4) == length, "trailing length at %zu", at);
    const std::uint32_t expected = blocks == 0 ? 0x0A0D0D0Au : blocks == 1 ? 1u : 6u;
    FUZZ_CHECK(type == expected, "block %d of type %u", blocks, type);
    std::size_t options = at + (blocks == 0 ? 24 : 16);
    if (type == 6) {
      const std::uint32_t captured = Get32(s, at + 20);
      FUZZ_CHECK(captured == Get32(s, at + 24), "captured %u of %u", captured, Get32(s, at + 24));
      FUZZ_CHECK(28 + ((captured + 3) & ~3u) + 4 <= length, "packet of %u in a block of %u", captured, length);
      CheckPacket(reinterpret_cast<const unsigned char*>(s.data()) + at + 28, captured);
      options = at + 28 + ((captured + 3) & ~3u);
    }
    const std::size_t end = at + length - 4;
    while (options < end) {
      FUZZ_CHECK(end - options >= 4, "option header cut at %zu", options);
      const std::uint16_t code = Get16(s, options);
      const std::size_t padded = (Get16(s, options + 2) + 3u) & ~3u;
      FUZZ_CHECK(padded <= end - options - 4, "option %u overruns its block at %zu", code, options);
      options += 4 + padded;
      FUZZ_CHECK(code != 0 || options == end, "end of options before the block's end at %zu", options);
    }
    at += length;
    ++blocks;
  }
  FUZZ_CHECK(blocks >= 2, "only %d blocks", blocks);
}

const std::string& Path() {
  static const std::string path = "/tmp/fuzz_capture-" + std::to_string(getpid()) + ".pcapng";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string filler(256 * 1024, '\x5A');
  Input in(data, size);
  CaptureFile capture;
  FUZZ_CHECK(capture.Create(Path()) == 0, "cannot create %s", Path().c_str());
  TimePoint now{std::chrono::seconds(1'700'000'000)};
  std::size_t volume = 0;
  while (!in.Empty()) {
    const std::uint8_t op = in.Byte();
    const std::int32_t id = op >> 5;  // few ids, so that they meet and are reused
    // Time mostly runs forward, sometimes back.
    now += std::chrono::microseconds(static_cast<std::int8_t>(in.Byte()) * 997);
    const auto direction = (op & 0x10) ? Direction::ServerToClient : Direction::ClientToServer;
    switch (op & 0x0F) {
      case 0:
      case 1: {
        const std::uint8_t kind = in.Byte();
        capture.Opened({id, AnEndpoint(kind, in.Word()), std::string(kind % 13, 'h'), in.Word(), now});
        break;
      }
      case 2:
      case 3:
        capture.ServerConnected(id, AnEndpoint(in.Byte(), in.Word()), now);
        break;
      case 4:
        capture.ConnectFailed(id, AnEndpoint(in.Byte(), in.Word()), now);
        break;
      case 5:
      case 6: {
        // A large block from the filler, bounded per input to keep runs quick.
        const std::int32_t length = std::min<std::int32_t>(in.Word() * 5, filler.size());
        if (volume + length > (8u << 20)) break;
        volume += length;
        capture.Data({id, direction, filler.data(), length, now, length, false});
        break;
      }
      case 7:
      case 8: {
        char bytes[64];
        const std::int32_t length = in.Byte() % 64;
        for (std::int32_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(in.Byte());
        capture.Data({id, direction, bytes, length, now, 0, false});
        break;
      }
      case 9:
      case 10:
        capture.StreamEnded(id, direction, now);
        break;
      case 11:
      case 12:
        capture.Closed(id, (op & 0x10) != 0, now);
        break;
      default:
        capture.Flush();
        break;
    }
  }
  capture.Close();
  std::ifstream file(Path(), std::ios::binary);
  CheckFile(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
  return 0;
}
