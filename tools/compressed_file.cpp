#include "tools/compressed_file.h"

#include <memory>

#include "coder/range_coder.h"
#include "model/byte_model.h"

namespace bytemix {
namespace {

void put_length(ByteSink& out, std::int32_t length) {
  const auto v = static_cast<std::uint32_t>(length);
  for (int i = 0; i < kLengthFieldSize; ++i) out.put(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Reads the length field; false if the input ends inside it.
bool get_length(ByteSource& in, std::int32_t& length) {
  std::uint32_t v = 0;
  for (int i = 0; i < kLengthFieldSize; ++i) {
    const int b = in.get();
    if (b < 0) return false;
    v |= static_cast<std::uint32_t>(b) << (8 * i);
  }
  length = static_cast<std::int32_t>(v);
  return true;
}

// The status for a decoder that stopped on a fault before the last symbol.
Status fault_status(const RangeDecoder& decoder, ByteSource& in, Trailing trailing) {
  if (decoder.fault() == RangeDecoder::Fault::read_past_end) return Status::truncated;
  // A whole stream that has been read to its end leaves the code at 0, where
  // no symbol can be decoded: the length field asked for more symbols than
  // the stream holds. Where other data may follow, the stream ends there.
  if (decoder.at_stream_end() && (trailing == Trailing::left_unread || !in.has_more()))
    return Status::length_too_large;
  return Status::corrupt;
}

// The caller's progress report, passed on; when it cancels, the source and
// the sink are stopped, so that the per-byte loop ends at its next read (or
// its next progress point) and nothing more is read or written.
class Cancellable {
 public:
  Cancellable(const Progress& caller, ByteSource& in, ByteSink& out)
      : caller_(caller), in_(in), out_(out) {}

  Progress progress() { return caller_.report != nullptr ? Progress{report, this} : Progress{}; }
  bool cancelled() const { return cancelled_; }

 private:
  static bool report(void* ctx, std::int32_t done, std::int32_t length) {
    auto& c = *static_cast<Cancellable*>(ctx);
    if (!c.cancelled_ && !c.caller_.report(c.caller_.ctx, done, length)) {
      c.cancelled_ = true;
      c.in_.stop();
      c.out_.stop();
    }
    return !c.cancelled_;
  }

  const Progress& caller_;
  ByteSource& in_;
  ByteSink& out_;
  bool cancelled_ = false;
};

// The one per-byte loop of both directions: report progress, let the model
// predict, let the coder code (or decode) one byte with that table, and let
// the model learn the byte. The model may leave a table open for a byte
// (ByteModel::predict_lagged) and hand it over settled at the next byte or
// at the end; the coder then codes the byte in two steps: code_open() takes
// the byte (the decoder finds it from the estimated table, or settles the
// table at once), finish() codes it with the settled table before anything
// else is coded. code() and code_open() return the byte, or -1 to stop;
// finish() returns false to stop. The loop also stops at the next progress
// point after a write to `out` failed, so that a full disk does not keep
// the coder busy for the rest of the input.
template <class Coder>
bool run_model(std::int32_t length, const ByteSink& out, const Progress& progress, Coder& coder) {
  // About 660 KiB: too large for the stack, allocated once per run.
  auto model = std::make_unique<ByteModel>();
  for (std::int32_t j = 0; j < length; ++j) {
    if ((static_cast<std::uint32_t>(j) % kProgressInterval) == 0) {
      if (out.failed()) return false;
      if (progress.report) progress.report(progress.ctx, j, length);
    }
    const ByteModel::LaggedTables tables = model->predict_lagged();
    if (tables.settled_previous != nullptr && !coder.finish(*tables.settled_previous)) return false;
    const int x = tables.current != nullptr ? coder.code(*tables.current) : coder.code_open(*model);
    if (x < 0) return false;
    model->update(static_cast<unsigned>(x));
  }
  if (const FrequencyTable* last = model->settle()) return coder.finish(*last);
  return true;
}

class Encoding {
 public:
  Encoding(ByteSource& in, RangeEncoder& encoder) : in_(in), encoder_(encoder) {}

  int code(const FrequencyTable& table) {
    const int x = in_.get();
    if (x >= 0) encode(x, table);
    return x;
  }
  int code_open(ByteModel&) { return waiting_ = in_.get(); }
  bool finish(const FrequencyTable& table) {
    encode(waiting_, table);
    return true;
  }

 private:
  void encode(int x, const FrequencyTable& table) {
    encoder_.encode(table.cumulative(static_cast<unsigned>(x)), static_cast<std::uint32_t>(table.freq[x]),
                    table.total);
  }

  ByteSource& in_;
  RangeEncoder& encoder_;
  int waiting_ = 0;
};

// A byte is written only once the decoder has narrowed by it without a
// fault, whether at once or when its table settles.
class Decoding {
 public:
  Decoding(RangeDecoder& decoder, ByteSink& out) : decoder_(decoder), out_(out) {}

  int code(const FrequencyTable& table) {
    const unsigned x = decoder_.decode_symbol(table);
    return accept(x) ? static_cast<int>(x) : -1;
  }
  int code_open(ByteModel& model) {
    const std::uint64_t* open;
    const FrequencyTable& estimate = model.open_estimate(open);
    unsigned x;
    if (decoder_.symbol_within(estimate, open, x)) return static_cast<int>(waiting_ = x);
    return code(*model.settle());
  }
  bool finish(const FrequencyTable& table) {
    decoder_.narrow(table.cumulative(waiting_), static_cast<std::uint32_t>(table.freq[waiting_]), table.total);
    return accept(waiting_);
  }

 private:
  bool accept(unsigned x) {
    if (decoder_.fault() != RangeDecoder::Fault::none) return false;
    out_.put(static_cast<std::uint8_t>(x));
    return true;
  }

  RangeDecoder& decoder_;
  ByteSink& out_;
  unsigned waiting_ = 0;
};

}  // namespace

Status compress(ByteSource& in, std::int32_t length, ByteSink& out, const Progress& progress) {
  // Never ask the reader for bytes that are not ours: a caller may read one
  // section of a file after another.
  in.limit(length > 0 ? static_cast<std::uint64_t>(length) : 0);
  Cancellable cancel(progress, in, out);
  put_length(out, length);
  RangeEncoder encoder(out);
  Encoding coder(in, encoder);
  const bool complete = run_model(length, out, cancel.progress(), coder);
  encoder.flush();
  if (cancel.cancelled()) return Status::cancelled;
  if (!out.flush()) return Status::write_error;
  if (in.failed()) return Status::read_error;
  return complete ? Status::ok : Status::short_input;
}

Status decompress(ByteSource& in, ByteSink& out, const Progress& progress, Trailing trailing) {
  // A read failure looks like an early end to the decoder; report it as such.
  const auto damage_or_read_error = [&in](Status damage) {
    return in.failed() ? Status::read_error : damage;
  };
  std::int32_t length = 0;
  if (!get_length(in, length)) return damage_or_read_error(Status::truncated);
  if (length < 0) return Status::negative_length;
  RangeDecoder decoder(in);
  decoder.start();
  if (decoder.fault() != RangeDecoder::Fault::none)
    return damage_or_read_error(fault_status(decoder, in, trailing));
  Cancellable cancel(progress, in, out);
  Decoding coder(decoder, out);
  const bool complete = run_model(length, out, cancel.progress(), coder);
  if (cancel.cancelled()) return Status::cancelled;
  if (out.failed()) return Status::write_error;
  if (!complete) return damage_or_read_error(fault_status(decoder, in, trailing));
  // The decoder has read exactly the stream; whatever follows is not ours.
  if (trailing == Trailing::refused && in.has_more()) return Status::trailing_data;
  if (in.failed()) return Status::read_error;
  // A whole stream ends with the eight bytes of the encoder's final low.
  // Missing that, either a byte is damaged or the stream codes more symbols
  // than the length says, the last of them without a byte of their own.
  if (!decoder.at_stream_end()) return Status::wrong_stream_end;
  return out.flush() ? Status::ok : Status::write_error;
}

}  // namespace bytemix
