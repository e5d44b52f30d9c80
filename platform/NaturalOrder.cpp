#include "platform/NaturalOrder.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <climits>

namespace platform {

void NaturalOrder::Closer::operator()(UCollator* c) const
{
    ucol_close(c);
}

NaturalOrder::NaturalOrder()
{
    UErrorCode status = U_ZERO_ERROR;
    // The POSIX locale's tailoring puts case before everything; use the root order there.
    const std::string_view locale = uloc_getDefault();
    collator_.reset(ucol_open(locale.starts_with("en_US_POSIX") ? "" : locale.data(), &status));
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        collator_.reset(ucol_open("", &status));
    }
    if (U_FAILURE(status) || !collator_) {
        collator_.reset();
        return;
    }
    // Secondary strength: accents still count, case does not.
    ucol_setStrength(collator_.get(), UCOL_SECONDARY);
    ucol_setAttribute(collator_.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
}

NaturalOrder::~NaturalOrder() = default;

int NaturalOrder::compare(std::string_view a, std::string_view b) const
{
    if (collator_ && a.size() <= INT32_MAX && b.size() <= INT32_MAX) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult r = ucol_strcollUTF8(collator_.get(), a.data(), static_cast<int32_t>(a.size()), b.data(),
                                                    static_cast<int32_t>(b.size()), &status);
        if (U_SUCCESS(status))
            return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
    }
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

}  // namespace platform
