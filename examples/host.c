/*
 * A complete Quorvel host in plain C: decodes an MPEG audio Layer I/II file
 * to raw PCM (signed 16-bit little-endian, interleaved) with the exported
 * calls and the classic buffer loop.
 *
 *   host IN OUT [BUFFER [RATE]]
 *
 * BUFFER is the size of the host's buffer, 2889 to 32768 bytes (default
 * 4096). RATE, when given and not 0, is an output rate to request through
 * GetHeaderInfo on the first buffer.
 *
 * The loop: fill the buffer (the bytes kept from the last one, then the
 * stream, then 8 zero bytes after the stream's end so that the last frame is
 * decoded), give it to DecompressAudio, call again with NULL as long as the
 * result is 0, then keep the buffer's last n bytes when the result is a
 * count n, or nothing when it is 0x8000.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quorvel/quorvel.h>

static int Fail(const char* what, const char* name) {
  fprintf(stderr, "host: %s%s%s\n", what, name ? ": " : "", name ? name : "");
  return 1;
}

int main(int argc, char** argv) {
  static uint8_t pcm[QUORVEL_MAX_RESAMPLED_BYTES];
  long size = 4096, rate = 0;
  uint8_t* buffer;
  FILE* in;
  FILE* out;
  int32_t kept = 0;   /* bytes at the buffer's start carried over */
  int32_t padLeft = 8; /* zero bytes still to append after the stream */
  int atEof = 0, first = 1, status = 0;

  if (argc < 3 || argc > 5) {
    fprintf(stderr, "usage: host IN OUT [BUFFER [RATE]]\n");
    return 2;
  }
  if (argc > 3) size = strtol(argv[3], NULL, 10);
  if (argc > 4) rate = strtol(argv[4], NULL, 10);
  if (size < 2889 || size > 32768) return Fail("BUFFER must be 2889 to 32768 bytes", NULL);
  in = fopen(argv[1], "rb");
  if (!in) return Fail("cannot open", argv[1]);
  out = fopen(argv[2], "wb");
  if (!out) {
    fclose(in);
    return Fail("cannot create", argv[2]);
  }
  buffer = (uint8_t*)malloc((size_t)size);
  if (!buffer) return Fail("out of memory", NULL);

  Init(0, NULL);
  for (;;) {
    int32_t length = kept, result, outBytes = 0, streamPos = 0;
    int reachedEnd;
    const uint8_t* data = buffer;

    /* Fill the buffer: the stream, then the 8 bytes of padding. */
    while (length < size) {
      if (!atEof) {
        const size_t got = fread(buffer + length, 1, (size_t)(size - length), in);
        if (got == 0) {
          if (ferror(in)) {
            status = Fail("read error", argv[1]);
            break;
          }
          atEof = 1;
        }
        length += (int32_t)got;
      } else if (padLeft > 0) {
        const int32_t n = padLeft < size - length ? padLeft : (int32_t)size - length;
        memset(buffer + length, 0, (size_t)n);
        padLeft -= n;
        length += n;
      } else {
        break;
      }
    }
    if (status) break;
    reachedEnd = atEof && padLeft == 0;

    if (first && rate != 0) {
      /* Requests the output rate; decoding still starts at the buffer's start. */
      int32_t probeRate = (int32_t)rate, channels = 0, bitrate = 0;
      GetHeaderInfo(buffer, length, &probeRate, &channels, &bitrate);
    }
    first = 0;

    do { /* one frame per call */
      result = DecompressAudio(data, length, pcm, 0, &outBytes, &streamPos);
      data = NULL;
      if (outBytes > 0 && fwrite(pcm, 1, (size_t)outBytes, out) != (size_t)outBytes) {
        status = Fail("write error", argv[2]);
        break;
      }
    } while (result == QUORVEL_FRAME);
    if (status || result == QUORVEL_NEED_BUFFER || reachedEnd) break;

    /* The next buffer begins with this one's last `result` bytes. */
    kept = result == QUORVEL_BUFFER_DONE ? 0 : result;
    memmove(buffer, buffer + length - kept, (size_t)kept);
  }
  Exit();

  free(buffer);
  fclose(in);
  if (fclose(out) != 0 && !status) status = Fail("write error", argv[2]);
  return status;
}
