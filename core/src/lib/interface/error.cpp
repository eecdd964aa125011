// The exported functions of the error family: the thread's last failure and
// the log callback.
#include "impl_/log.hpp"
#include "skarn_edit/error.h"

const skarn_error_struct *skarn_error_last(void) noexcept { return skarn::log::last_failure(); }

void skarn_error_clear(void) noexcept { skarn::log::clear_failure(); }

void skarn_set_log_callback(skarn_log_cbk_t cbk, void *user_data) noexcept { skarn::log::set_callback(cbk, user_data); }
