#include "foundation/HotkeyNames.h"

namespace harkwell {

HotkeyNames& HotkeyNames::shared()
{
    static HotkeyNames* names = new HotkeyNames;
    return *names;
}

void HotkeyNames::set(const QString& search, const QString& record, bool available)
{
    if (search == m_search && record == m_record && available == m_available)
        return;
    m_search = search;
    m_record = record;
    m_available = available;
    emit changed();
}

}  // namespace harkwell
