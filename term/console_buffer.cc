// The buffer behind each standard stream: gathering, ordering, failures.
#include "term/console_buffer.h"

#include <cstring>

namespace platform {

console_buffer::console_buffer(pass_on_function pass_on, bool flush_on_sync,
                               std::size_t capacity, console_buffer* goes_before)
    : pass_on(pass_on), flush_on_sync(flush_on_sync), goes_before(goes_before),
      // Room for the half of a pair kept back and one character more.
      storage_(capacity > 1 ? capacity : 2) {
  setp(storage_.data(), storage_.data() + storage_.size());
}

void console_buffer::pass_along(bool write, bool last) {
  const std::size_t length = static_cast<std::size_t>(pptr() - pbase());
  if (length > 0) last_ = pbase()[length - 1];
  // After a failure, text is dropped, not written. Otherwise the half is
  // called even with nothing new, so that a write sends out what it
  // gathered before.
  const std::size_t taken = error ? length : pass_on(*this, pbase(), length, write, last);
  const std::size_t left = length - taken;
  std::memmove(storage_.data(), pbase() + taken, left * sizeof(native_char));
  setp(storage_.data(), storage_.data() + storage_.size());
  pbump(static_cast<int>(left));
}

bool console_buffer::write_out(bool last) {
  if (goes_before) goes_before->write_out(last);
  pass_along(true, last);
  return error == 0;
}

bool console_buffer::ends_line() const {
  return (pptr() > pbase() ? pptr()[-1] : last_) == native_char('\n');
}

console_buffer::int_type console_buffer::overflow(int_type c) {
  // The text of `goes_before` goes first here too: the half may write what
  // it takes at once.
  if (goes_before) goes_before->write_out();
  pass_along(false, false);
  if (error) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int console_buffer::sync() {
  if (flush_on_sync) return write_out() ? 0 : -1;
  return error ? -1 : 0;
}

}  // namespace platform
