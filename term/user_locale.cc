// The platform-free part of the user's locale.
#include "term/user_locale.h"

namespace platform {

std::locale::id digit_grouping_facet::id;

}  // namespace platform
