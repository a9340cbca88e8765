#include "service/JournalBoxes.h"

#include "service/JournalLog.h"

namespace norva {

void JournalBoxes::showError(const std::string& text) {
    log_.error(text);
}

bool JournalBoxes::askYesNo(const std::string& text) {
    log_.warning(text + " (answered no: nobody is there to answer)");
    return false;
}

} // namespace norva
