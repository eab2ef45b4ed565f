// Streams for the tests, written from ISO/IEC 11172-3 and ISO/IEC 13818-3
// without the decoder's own tables: a plain walk over frame headers, so that
// frame counts and lengths can be checked independently, and builders of
// small frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bit_writer.h"

namespace quorvel::test {

// Length in bytes of the Layer I, II or III frame whose 4-byte header starts
// at p, or 0 when p holds no usable header (no sync, MPEG-2.5 bit with ID 1,
// reserved layer, free format, bitrate index 15, sample-rate index 3).
inline size_t HeaderFrameBytes(const uint8_t* p) {
  static constexpr uint16_t kKbps[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 Layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 Layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 Layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // LSF Layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};         // LSF Layers II, III
  static constexpr uint32_t kRates[3] = {44100, 48000, 32000};
  if (p[0] != 0xFF || p[1] < 0xE0) return 0;
  const bool mpeg25 = !(p[1] & 0x10), lsf = !(p[1] & 0x08);
  const int layer = 4 - ((p[1] >> 1) & 3);
  const int bitrateIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, pad = (p[2] >> 1) & 1;
  if ((mpeg25 && !lsf) || layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
  const uint32_t bitrate = 1000u * kKbps[lsf ? (layer == 1 ? 3 : 4) : layer - 1][bitrateIndex];
  const uint32_t rate = kRates[rateIndex] >> ((lsf ? 1 : 0) + (mpeg25 ? 1 : 0));
  if (layer == 1) return (12 * bitrate / rate + pad) * 4;
  return (layer == 3 && lsf ? 72 : 144) * bitrate / rate + pad;
}

// Start offsets of the frames of a stream made of nothing but frames, header
// by header from offset 0 up to the first place that holds no whole frame.
inline std::vector<size_t> WalkFrames(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;
  for (size_t at = 0; at + 4 <= stream.size();) {
    const size_t length = HeaderFrameBytes(&stream[at]);
    if (length == 0 || at + length > stream.size()) break;
    starts.push_back(at);
    at += length;
  }
  return starts;
}

// One frame: the header, then `body` (the CRC word included when protected),
// zero-padded to the frame's length, or to `fallback` bytes for headers that
// have no length.
inline std::vector<uint8_t> Frame(const HeaderFields& h, const std::vector<uint8_t>& body = {}, size_t fallback = 300) {
  BitWriter w;
  PutHeader(w, h);
  std::vector<uint8_t> frame = w.Bytes();
  frame.insert(frame.end(), body.begin(), body.end());
  const size_t length = HeaderFrameBytes(frame.data());
  frame.resize(length ? length : fallback, 0);
  return frame;
}

// MPEG-1 Layer II, 128 kbit/s, 44100 Hz, stereo, all allocations 0: 417 bytes
// that decode to silence.
inline std::vector<uint8_t> Good() { return Frame(HeaderFields{}); }

enum class Crc { kNone, kRight, kWrong };

// MPEG-1 Layer I, 384 kbit/s, 48000 Hz, stereo (384 bytes): every allocation
// code `code`, every scalefactor index `scf`, samples of alternating bits cut
// off at the frame's end (codes above 2 ask for more bits than it holds).
inline std::vector<uint8_t> Layer1(uint32_t code, uint32_t scf, Crc crc) {
  HeaderFields h{.layerCode = 3, .protectionBit = crc == Crc::kNone, .bitrateIndex = 12, .rateIndex = 1};
  BitWriter header, body;
  PutHeader(header, h);
  for (int i = 0; i < 64; ++i) body.Put(code, 4);
  if (code != 0 && code != 15) {
    for (int i = 0; i < 64; ++i) body.Put(scf, 6);
    for (int i = 0; i < 12 * 64; ++i) body.Put(0x5555, static_cast<int>(code) + 1);
  }
  BitWriter frame = header;
  if (crc != Crc::kNone) frame.Put(FrameCrc(header.Bytes(), body.Bytes(), 256) ^ (crc == Crc::kWrong ? 0x0100 : 0), 16);
  for (const uint8_t byte : body.Bytes()) frame.Put(byte, 8);
  std::vector<uint8_t> bytes = frame.Bytes();
  bytes.resize(HeaderFrameBytes(bytes.data()), 0);
  return bytes;
}

// A Layer III frame of silence (side information zero but for
// main_data_begin) at 32 kHz mono, 32 kbit/s (144 bytes: 123 of main data),
// whose main data begins `mainDataBegin` bytes back in the reservoir; or,
// with `info`, an Info frame stating `frames` audio frames and a LAME
// extension with the encoder's delay and padding.
inline std::vector<uint8_t> SilentLayer3Frame(uint32_t mainDataBegin = 0, bool info = false, uint32_t frames = 0,
                                              uint32_t delay = 0, uint32_t padding = 0) {
  HeaderFields h;
  h.layerCode = 1;
  h.bitrateIndex = 1;
  h.rateIndex = 2;
  h.mode = 3;
  BitWriter w;
  PutHeader(w, h);
  w.Put(mainDataBegin, 9);
  w.PadTo(4 + 17);
  if (info) {
    for (const char c : std::string("Info")) w.Put(static_cast<uint8_t>(c), 8);
    w.Put(1, 32).Put(frames, 32);  // flags: the frame count only
    for (const char c : std::string("LAME3.100")) w.Put(static_cast<uint8_t>(c), 8);
    w.PadTo(w.Bytes().size() + 12);
    w.Put(delay, 12).Put(padding, 12);
  }
  return w.PadTo(144).Bytes();
}

}  // namespace quorvel::test
