/*
 * Quorvel: an exact, fixed-point MPEG audio Layer I/II decoder.
 *
 * The exported calls, usable from C and C++. They work on one decoder held in
 * static storage: one stream at a time, one calling thread. (The C++ API in
 * quorvel/decoder.hpp runs independent decoders.)
 *
 * Calling order expected of the host:
 *   1. Init before the first stream, and again after every Exit.
 *   2. Optionally GetHeaderInfo on the first buffer of the stream, to learn
 *      its sample rate, channel count and bitrate and to request an output
 *      rate.
 *   3. DecompressAudio with a buffer, then DecompressAudio with a null buffer
 *      as long as it returns 0 (one frame per call). Any other result means
 *      the buffer is finished: supply the next one, beginning with the old
 *      buffer's last n bytes when the result was a count n.
 *   4. Around a jump in the stream: SeekStart, SeekEnd, then step 3 with a
 *      buffer from the new place.
 *   5. Exit at the end of the stream.
 *
 * Buffers: a frame is decoded only when the whole frame and 8 more bytes lie
 * in the buffer (the longest frame is 2881 bytes, so buffers of 2889 to 32768
 * bytes are right). Append 8 zero bytes to the end of the stream so that its
 * last frame decodes.
 *
 * All audio arithmetic is 32-bit fixed point: every platform produces the
 * same bytes.
 */
#ifndef QUORVEL_QUORVEL_H
#define QUORVEL_QUORVEL_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(QUORVEL_BUILDING_DLL)
#    define QUORVEL_API __declspec(dllexport)
#  elif defined(QUORVEL_DLL)
#    define QUORVEL_API __declspec(dllimport)
#  else
#    define QUORVEL_API
#  endif
#elif defined(__GNUC__)
#  define QUORVEL_API __attribute__((visibility("default")))
#else
#  define QUORVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of DecompressAudio and GetHeaderInfo besides a remaining count. */
#define QUORVEL_FRAME 0            /* a frame was decoded, or skipped        */
#define QUORVEL_NEED_BUFFER 1      /* DecompressAudio needs a buffer first   */
#define QUORVEL_BUFFER_DONE 0x8000 /* nothing of this buffer is needed again */

/* Output room per DecompressAudio call, in bytes: 1152 samples of 2 channels,
 * or 6906 (1152 converted from 8000 Hz to 48000 Hz) while resampling. */
#define QUORVEL_MAX_FRAME_BYTES 4608       /* without resampling */
#define QUORVEL_MAX_RESAMPLED_BYTES 27624  /* with an output rate requested */

/* Equaliser levels in whole dB, for Init. Bands run from low to high
 * frequencies; the preamp is added to every band. A summed level is capped at
 * +18 dB; -79 dB and below mute the band. */
typedef struct EqSettings {
  int8_t bands[10];
  int8_t preamp;
} EqSettings;

/* Opens the decoder. While a reset is pending (after loading, Exit, SeekStart
 * or a successful GetHeaderInfo) it resets the decoding state; in the middle
 * of a stream it only changes the options and keeps the place in the buffer.
 * processing: nonzero enables the global gain (set back to 1.0 by every
 * Init and lowered automatically after each frame that clips) and the
 * equaliser. eq: new equaliser levels, or NULL to keep the current ones. The
 * equaliser gains are 0 until Init is first given settings, so processing
 * without ever giving settings is silent. */
QUORVEL_API void Init(int32_t processing, const EqSettings* eq);

/* Ends the stream: the next Init resets the decoder. Keeps the equaliser, the
 * requested output rate and the output's error-feedback residuals. */
QUORVEL_API void Exit(void);

/* Decodes at most one frame.
 *   data      a new buffer, or NULL to go on in the current one. The library
 *             reads it in place: keep it unchanged until the call that
 *             returns a nonzero result.
 *   length    the buffer's length in bytes, passed on every call (a negative
 *             length counts as 0).
 *   out       receives the frame as interleaved signed 16-bit little-endian
 *             PCM, channel 0 first: room for QUORVEL_MAX_FRAME_BYTES, or
 *             QUORVEL_MAX_RESAMPLED_BYTES while an output rate is requested.
 *             384 (Layer I) or 1152 (Layer II) samples per channel, or the
 *             converted count when resampling.
 *   reserved  not read.
 *   outBytes  receives the number of bytes written to out (0 when none).
 *   streamPos receives the stream position in bytes of the frame decoded or
 *             skipped, or of where the buffer ran out (not written for 1).
 * Returns:
 *   0       a frame was decoded (outBytes > 0), or a damaged frame or false
 *           header was skipped (outBytes 0). Call again with data = NULL.
 *   1       data is NULL but no buffer has been given since the last reset.
 *   0x8000  the buffer is finished and none of it must be given again (also
 *           after a frame with a forbidden Layer I allocation).
 *   n       the buffer is finished; its last n bytes (8 <= n < length) must
 *           begin the next buffer. */
QUORVEL_API int32_t DecompressAudio(const uint8_t* data, int32_t length, uint8_t* out, uint32_t reserved,
                                    int32_t* outBytes, int32_t* streamPos);

/* Probes the first decodable frame of a stream's first buffer.
 *   rate      in: an output rate in Hz to convert every frame to (8000,
 *             11025, 12000, 16000, 22050, 24000, 32000, 44100 or 48000), or
 *             0. Out, when 0 or not one of the nine: the stream's own rate
 *             (no conversion).
 *   channels  receives 1 for single-channel streams, else 2.
 *   bitrate   receives the bitrate in bit/s.
 * Returns 0 when a frame was found, with the decoder reset so that
 * DecompressAudio starts afresh (the next buffer is counted as starting at
 * the probed frame); otherwise 0x8000 or a count n as for DecompressAudio,
 * with the outputs unwritten. A NULL buffer returns 0x8000. */
QUORVEL_API int32_t GetHeaderInfo(const uint8_t* data, int32_t length, int32_t* rate, int32_t* channels,
                                  int32_t* bitrate);

/* Brackets a jump in the stream: SeekStart, then SeekEnd (which resets the
 * decoder and the gain, keeping the equaliser), then a buffer from the new
 * place. */
QUORVEL_API void SeekStart(void);
QUORVEL_API void SeekEnd(void);

#ifdef __cplusplus
} /* extern "C" */

/* An empty class exported for compatibility with existing hosts; no call
 * takes or returns it. */
class QUORVEL_API CQuorvel final {
 public:
  CQuorvel();
  CQuorvel& operator=(const CQuorvel& other);
};
#endif

#endif /* QUORVEL_QUORVEL_H */
