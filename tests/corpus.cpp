#include "corpus.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quorvel::test {

std::optional<std::filesystem::path> CorpusDir() {
  const char* env = std::getenv("QUORVEL_CORPUS");
  std::filesystem::path dir = env && *env ? env : QUORVEL_CORPUS_DEFAULT;
  if (std::filesystem::is_directory(dir)) return dir;
  return std::nullopt;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

namespace {

// RFC 1321 MD5, enough for comparing outputs with their recorded checksums.
struct Md5 {
  uint32_t a = 0x67452301, b = 0xefcdab89, c = 0x98badcfe, d = 0x10325476;
  static uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }
  void Block(const uint8_t* p) {
    static const uint32_t k[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const int r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,
                              14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                              4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
      w[i] = p[4 * i] | (p[4 * i + 1] << 8) | (p[4 * i + 2] << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
    }
    uint32_t A = a, B = b, C = c, D = d;
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      if (i < 16) {
        f = (B & C) | (~B & D);
        g = i;
      } else if (i < 32) {
        f = (D & B) | (~D & C);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = B ^ C ^ D;
        g = (3 * i + 5) % 16;
      } else {
        f = C ^ (B | ~D);
        g = (7 * i) % 16;
      }
      const uint32_t t = D;
      D = C;
      C = B;
      B = B + Rotl(A + f + k[i] + w[g], r[i]);
      A = t;
    }
    a += A;
    b += B;
    c += C;
    d += D;
  }
};

}  // namespace

std::string Md5Hex(const uint8_t* data, size_t size) {
  Md5 md5;
  size_t i = 0;
  for (; i + 64 <= size; i += 64) md5.Block(data + i);
  uint8_t tail[128] = {};
  const size_t rest = size - i;
  if (rest) std::memcpy(tail, data + i, rest);
  tail[rest] = 0x80;
  const size_t tailLen = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(size) * 8;
  for (int j = 0; j < 8; ++j) tail[tailLen - 8 + j] = static_cast<uint8_t>(bits >> (8 * j));
  md5.Block(tail);
  if (tailLen == 128) md5.Block(tail + 64);
  char hex[33];
  const uint32_t words[4] = {md5.a, md5.b, md5.c, md5.d};
  for (int w = 0; w < 4; ++w) {
    for (int j = 0; j < 4; ++j) std::snprintf(hex + 8 * w + 2 * j, 3, "%02x", (words[w] >> (8 * j)) & 0xFF);
  }
  return std::string(hex, 32);
}

std::vector<GoldenRow> ReadGoldenIndex(const std::filesystem::path& corpus) {
  std::vector<GoldenRow> rows;
  std::ifstream in(corpus / "golden" / "INDEX.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) f.push_back(cell);
    if (f.size() < 12) continue;
    GoldenRow row;
    row.id = f[0];
    row.stream = f[1];
    row.config = f[2];
    row.buffer = std::stoi(f[3]);
    row.padEnd = f[4] == "1";
    row.rate = std::stoi(f[5]);
    row.processing = std::stoi(f[6]);
    if (f[7] != "-") {
      row.hasEq = true;
      std::stringstream es(f[7]);
      int8_t values[11] = {};
      for (int i = 0; i < 11 && std::getline(es, cell, ','); ++i) values[i] = static_cast<int8_t>(std::stoi(cell));
      std::memcpy(row.eq.bands, values, 10);
      row.eq.preamp = values[10];
    }
    row.pcmBytes = std::stoull(f[8]);
    row.pcmMd5 = f[9];
    row.calls = std::stoull(f[10]);
    row.logMd5 = f[11];
    rows.push_back(row);
  }
  return rows;
}

HostRun RunHost(DecoderState& state, const std::vector<uint8_t>& file, const HostOptions& options) {
  std::vector<uint8_t> stream = file;
  if (options.padEnd) stream.insert(stream.end(), 8, 0);
  HostRun run;
  InitDecoder(state, options.processing, options.eq);
  const size_t total = stream.size();
  auto bufferAt = [&](size_t offset) {
    return static_cast<int32_t>(std::min<size_t>(options.buffer, total - offset));
  };
  if (options.rate != 0) {
    int32_t rate = options.rate, channels = 0, bitrate = 0;
    ProbeHeader(state, stream.data(), bufferAt(0), &rate, &channels, &bitrate);
  }
  std::vector<uint8_t> out(kMaxResampledBytes);
  size_t offset = 0;
  std::ostringstream log;
  for (;;) {
    const int32_t length = bufferAt(offset);
    const uint8_t* data = stream.data() + offset;
    int32_t result;
    bool first = true;
    do {
      int32_t outBytes = -1, streamPos = 0;
      bool posWritten = true;
      result = DecompressAudioOn(state, first ? data : nullptr, length, out.data(), &outBytes, &streamPos);
      if (result == kResultNeedBuffer) posWritten = false;
      first = false;
      ++run.calls;
      log << result << ' ' << outBytes << ' ';
      if (posWritten) {
        log << streamPos;
      } else {
        log << '-';
      }
      log << '\n';
      if (outBytes > 0) run.pcm.insert(run.pcm.end(), out.begin(), out.begin() + outBytes);
    } while (result == kResultFrame);
    if (result == kResultNeedBuffer) break;
    const size_t end = offset + static_cast<size_t>(length);
    const bool reachedEnd = end >= total;
    offset = result == kResultBufferDone ? end : end - static_cast<size_t>(result);
    if (reachedEnd) break;
  }
  run.log = log.str();
  return run;
}

}  // namespace quorvel::test
