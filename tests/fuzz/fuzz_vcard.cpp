// Feeds arbitrary bytes to the vCard reader as a contact attachment reaches it, and decodes
// every value with the character set its parameters name.
#include "fuzzsupport.h"

#include "view/vcardreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    for (const VCard &card : parseVCards(bytes)) {
        for (const VCardProperty &property : card)
            vcardValueToString(property);
    }
    return 0;
}
