// Feeds arbitrary bytes to the keybag parser, then unlocks and unwraps with what it found.
#include "backup/keybag.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray blob(reinterpret_cast<const char *>(data), static_cast<int>(size));
    Keybag kb = Keybag::parse(blob);
    Keybag::problem(kb);
    // Large iteration counts are legal but only slow the fuzzer down.
    if (Keybag::tagValueU32(kb.header, QStringLiteral("ITER")) <= 64)
        Keybag::unlock(kb, QByteArrayLiteral("password"));
    for (auto it = kb.classes.cbegin(); it != kb.classes.cend(); ++it)
        Keybag::unwrapFileKey(kb, it.key(), it->value(QStringLiteral("WPKY")));
    return 0;
}
