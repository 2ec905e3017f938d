// The module functions, as method definitions for the registration list.
#pragma once

#include "call.hpp"

namespace tavik {

extern const PyMethodDef kSafeFloat;
extern const PyMethodDef kTruncateToDay;
extern const PyMethodDef kStrToDate;
extern const PyMethodDef kDateToStr;
extern const PyMethodDef kMsToDate;
extern const PyMethodDef kNowDate;
extern const PyMethodDef kNowMs;

}  // namespace tavik
