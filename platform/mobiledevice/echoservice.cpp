// A test service: sends every framed message back as it came, until the peer closes.
#include "serviceconnection.h"
#include "serviceregistry.h"

namespace {

void runEcho(ServiceConnection &connection)
{
    int count = 0;
    for (;;) {
        std::string body;
        bool closed = false;
        if (!connection.receiveFrame(&body, &closed, 0))
            break;
        const auto length = static_cast<uint32_t>(body.size());
        const unsigned char header[4]
            = { static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
                  static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length) };
        if (!connection.sendAll(header, sizeof header)
            || !connection.sendAll(body.data(), body.size()))
            break;
        ++count;
    }
    connection.log("echoed " + std::to_string(count) + " messages");
}

const ServiceRegistration registration("com.quillmarrow.test.echo", &runEcho);

} // namespace
