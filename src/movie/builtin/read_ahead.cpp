// The built-in engine's read-ahead window: packets read before the decoder
// needs them, so that the timestamp after each picture's is known before it
// is decoded. A picture no output frame shows is then one the decoder may
// drop if nothing refers to it, and an unshown H.264 picture that nothing
// refers to is not sent at all.
#include "movie/builtin/engine.h"

#include <algorithm>

#include "movie/builtin/h264.h"
#include "movie/limits.h"

int64_t BuiltinSource::Engine::successor(int64_t pts) const {
  int64_t next = AV_NOPTS_VALUE;
  const auto consider = [&](int64_t t) {
    if (sane(t) && t > pts && (next == AV_NOPTS_VALUE || t < next)) next = t;
  };
  for (int i = 0; i < sent_count; ++i) consider(sent[i]);
  for (int i = 0; i < queue_count; ++i) consider(queue[(queue_head + i) % kWindow]->pts);
  return next;
}

bool BuiltinSource::Engine::choose_discard(const AVPacket* p) {
  bool skip = false;
  if (!exact && t0_known && sane(p->pts)) {
    const int64_t next = successor(p->pts);
    skip = next != AV_NOPTS_VALUE && !clock.shown(p->pts, next);
  }
  dec->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  return skip;
}

void BuiltinSource::Engine::fill_queue() {
  while (!demuxed && queue_count < kWindow && (queue_count == 0 || queue_bytes < kReadAheadBytes)) {
    const int r = av_read_frame(fmt, pkt);
    if (r < 0) {
      if (r != AVERROR_EOF) note(kBrokenData, r);
      demuxed = true;
      return;
    }
    // An empty packet would tell the decoder the stream has ended.
    if (pkt->stream_index == st->index && pkt->size > 0) {
      // A transport stream's lost or garbled packets, for instance.
      if (pkt->flags & AV_PKT_FLAG_CORRUPT) note(kDamagedPacket, 0);
      queue_bytes += pkt->size;
      av_packet_move_ref(queue[(queue_head + queue_count) % kWindow], pkt);
      ++queue_count;
    } else {
      av_packet_unref(pkt);
    }
  }
}

bool BuiltinSource::Engine::send_next() {
  fill_queue();
  if (queue_count == 0) return false;
  AVPacket* p = queue[queue_head];
  // An unshown H.264 picture that nothing refers to is one the decoder
  // would skip before touching any state but its slice header; leaving it
  // out also saves the hand-over to a decoder thread.
  const bool unshown = choose_discard(p);
  const bool leave_out = unshown && h264_length_size >= 0 && unreferenced_h264({p->data, size_t(p->size)}, h264_length_size);
  const int r = leave_out ? 0 : avcodec_send_packet(dec, p);
  if (r == AVERROR(EAGAIN)) return true;
  if (r < 0) note(kRefusedPacket, r);
  queue_head = (queue_head + 1) % kWindow;
  --queue_count;
  queue_bytes -= p->size;
  sent[sent_next] = p->pts;
  sent_next = (sent_next + 1) % kWindow;
  sent_count = std::min(sent_count + 1, kWindow);
  av_packet_unref(p);
  return true;
}

bool BuiltinSource::Engine::will_show(const AVFrame* f, int64_t pts) const {
  if (!t0_known || f->pts != pts) return true;
  const int64_t next = successor(pts);
  return next == AV_NOPTS_VALUE || clock.shown(pts, next);
}
