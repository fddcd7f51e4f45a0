// The decode task family shared by the dense and ragged gathers: frames read back to back into
// scratch, each decoded by a task that holds a pooled context of its own, into a place and to a
// size that the stage decides.
#ifndef TAVRILL_ENGINE_FRAME_DECODE_H_
#define TAVRILL_ENGINE_FRAME_DECODE_H_

#include <zstd.h>

#include <cstdint>

#include "codec_context.h"
#include "engine.h"
#include "errors.h"
#include "executor.h"

namespace tavrill {

// The frames of one gather: record i's frame is bytes [ends[i − 1], ends[i]) (ends[−1] = 0).
struct FrameRun {
  const uint8_t* bytes;
  uint64_t total;
  const uint64_t* ends;
  uint64_t n;
};

// Whether the ends never go back, stay inside the frames and end exactly at their total. Every
// decode stage checks this before a task slices the scratch buffer by them.
inline bool frame_ends_consistent(const FrameRun& frames) {
  if (frames.n == 0) return frames.total == 0;
  uint64_t previous = 0;
  for (uint64_t i = 0; i < frames.n; ++i) {
    if (frames.ends[i] < previous || frames.ends[i] > frames.total) return false;
    previous = frames.ends[i];
  }
  return previous == frames.total;
}

// Where record i decodes to, and the exact size it must decode to.
struct FrameTarget {
  uint8_t* destination;
  uint64_t size;
};

// Decodes one frame into `target`; a zstd error or any other decoded size is DecodeFailed. A
// pooled context never holds a dictionary, so the dictionary codec names the store's own per
// call.
template <uint8_t Codec>
Status decode_frame(ZSTD_DCtx* dctx, const ZSTD_DDict* ddict, const uint8_t* frame,
                    uint64_t frame_len, FrameTarget target) {
  size_t decoded;
  if constexpr (Codec == CODEC_ZSTD_DICT) {
    decoded =
        ZSTD_decompress_usingDDict(dctx, target.destination, target.size, frame, frame_len, ddict);
  } else {
    static_assert(Codec == CODEC_ZSTD);
    (void)ddict;
    decoded = ZSTD_decompressDCtx(dctx, target.destination, target.size, frame, frame_len);
  }
  if (ZSTD_isError(decoded) || decoded != target.size) return ErrorKind::DecodeFailed;
  return Status::Ok();
}

// One decode task over its contiguous slice of records. `Stage` holds `executor`, `ddict`,
// `frames` (a FrameRun), `first_error`, and `target(i)`. A failing record does not stop the slice;
// the context goes back reset, so the next holder finds no dictionary or parameter of ours.
template <uint8_t Codec, typename Stage>
void decode_frames_task(Stage* stage, uint32_t task, uint32_t task_count) {
  HeldContext context(stage->executor, HeldContext::HandBack::kResetRelease);
  const Status acquired = context.acquire();
  if (!acquired.ok()) {
    stage->first_error.record(acquired.kind());
    return;
  }
  const FrameRun& frames = stage->frames;
  const Slice slice = contiguous_slice(frames.n, task, task_count);
  for (uint64_t i = slice.begin; i < slice.end; ++i) {
    // Made on first use and kept with the pooled context; a failure here is retried by the next
    // record.
    const Result<ZSTD_DCtx*> dctx = ensure_dctx(context.get());
    if (!dctx.ok()) {
      stage->first_error.record(dctx.kind());
      continue;
    }
    const uint64_t begin = i == 0 ? 0 : frames.ends[i - 1];
    const Status decoded = decode_frame<Codec>(dctx.value(), stage->ddict, frames.bytes + begin,
                                               frames.ends[i] - begin, stage->target(i));
    if (!decoded.ok()) stage->first_error.record(decoded.kind());
  }
}

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_FRAME_DECODE_H_
