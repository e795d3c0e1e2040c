// SPDX-License-Identifier: MIT
/// \file
/// Stream buffer templates that turn a standard output stream into a message source.
///
/// Logbuf gathers every character written to its stream; each sync (std::flush, std::endl)
/// hands everything gathered since the last one to its LogSink in a single log_write call,
/// so one flush is one message however many insertions and newlines it holds:
///
///     stream << "a\n" << 'b' << "\n" << std::flush;   // log_write("a\nb\n", 4)
///
/// logbuf_init owns the Logbuf. A stream class lists it as a (virtual) base before
/// std::basic_ostream, so the buffer exists before the ostream base is bound to it.
///
/// Ownership: the Logbuf owns its gathered text, never its sink. Nothing here locks: a
/// Logbuf belongs to one stream, used by one thread.
///
/// Destruction: ~Logbuf delivers text still gathered, but a sink that is a derived part of
/// the object being destroyed is already gone by then. Such a sink flushes in its own
/// destructor and detaches itself with setSink(nullptr) (the log stream does so).
#ifndef KITE_ERRORHANDLING_KITE_ERRLOG_LOGBUF_H
#define KITE_ERRORHANDLING_KITE_ERRLOG_LOGBUF_H

#include <streambuf>
#include <string>
#include <vector>

/// The log buffer templates.
namespace KITE_ERRLOG {

/// What a Logbuf hands its text to. Sinks are not deleted through this interface, hence the
/// protected destructor.
template <class charT, class traits = std::char_traits<charT>>
class LogSink {
 public:
  /// Receives the text of one flush: exactly the n characters gathered, in the order
  /// written, not zero-terminated, valid only during the call. What it throws leaves the
  /// text gathered for the next flush.
  virtual void log_write(const charT* s, int n) = 0;

 protected:
  ~LogSink() = default;
};

/// The stream buffer that gathers a stream's text and hands it to its LogSink at each
/// flush. It grows to the longest message and keeps that capacity, so a stream in steady use
/// allocates nothing. Not copyable.
template <class charT, class traits = std::char_traits<charT>>
class Logbuf : public std::basic_streambuf<charT, traits> {
 public:
  /// The stream's character or end of file.
  typedef typename traits::int_type int_type;

  /// Without a sink the buffer keeps what is written until setSink provides one.
  Logbuf() : sink_(nullptr) {}
  /// Hands its text to sink, which it does not own.
  explicit Logbuf(LogSink<charT, traits>* sink) : sink_(sink) {}

  Logbuf(const Logbuf&) = delete;
  Logbuf& operator=(const Logbuf&) = delete;

  /// Delivers what is still gathered. A sink that throws here loses that text: a
  /// destructor cannot pass the exception on.
  ~Logbuf() override {
    try {
      sync();
    } catch (...) {
    }
  }

  /// Hands the text from the next flush on to sink; null keeps it gathered.
  void setSink(LogSink<charT, traits>* sink) { sink_ = sink; }

 private:
  // The gathered text is dropped only after log_write returns, so a sink that throws
  // gets the same text again, with what follows, at the next sync.
  int sync() override {
    if (!buffer_.empty() && sink_) {
      sink_->log_write(buffer_.data(), static_cast<int>(buffer_.size()));
      buffer_.clear();  // keeps the capacity: after the longest message, no more allocation
    }
    return 0;
  }

  // No put area is ever set, so every insertion arrives here or in overflow.
  std::streamsize xsputn(const charT* s, std::streamsize n) override {
    buffer_.insert(buffer_.end(), s, s + n);
    return n;
  }

  int_type overflow(int_type c) override {
    if (traits::eq_int_type(c, traits::eof())) return traits::eof();
    buffer_.push_back(traits::to_char_type(c));
    return c;
  }

  std::vector<charT> buffer_;
  LogSink<charT, traits>* sink_;
};

/// Owns a Logbuf, for a stream class to list as a (virtual) base before
/// std::basic_ostream.
template <class charT, class traits = std::char_traits<charT>>
class logbuf_init {
 public:
  logbuf_init() = default;  ///< A buffer without a sink.
  /// A buffer that hands its text to sink.
  explicit logbuf_init(LogSink<charT, traits>* sink) : buf_(sink) {}

  /// The buffer, for the ostream's constructor.
  Logbuf<charT, traits>* buf_ptr() { return &buf_; }
  /// The buffer.
  Logbuf<charT, traits>& buf() { return buf_; }

 private:
  Logbuf<charT, traits> buf_;
};

}  // namespace KITE_ERRLOG

#endif
