// "com.apple.mobilesync": a session for one data class whose records the device keeps in
// "mobilesync/<data class>.plist" of its folder, a dictionary from record identifier to
// record. All records go out in batches of "RecordsPerBatch" (domain
// "com.apple.mobilesync", default 10), each awaiting its acknowledgement. Records from the
// computer replace those of the same identifier; new ones get the device's next number,
// and the reply maps the computer's identifiers to the device's. Anything out of place
// cancels the session.
#include "devicelinkend.h"
#include "serviceconnection.h"
#include "serviceregistry.h"
#include "simulateddevice.h"

#include <cstdlib>
#include <sys/stat.h>

namespace {

constexpr int protocolVersion = 106;
constexpr long long defaultRecordsPerBatch = 10;

using Link = DeviceLinkEnd;

class SyncService
{
public:
    explicit SyncService(ServiceConnection &connection)
        : m_link(connection)
        , m_device(connection.device())
    {
    }

    void run()
    {
        if (!m_link.handshake() || !startSession())
            return;
        std::string name;
        for (PlistNode message = m_link.nextRequest(&name); !message.isNull();
             message = m_link.nextRequest(&name)) {
            if (name == "DLMessagePing") {
                log("ping: " + PlistNode::textOf(Link::itemOf(message, 1)));
                continue;
            }
            if (PlistNode::textOf(Link::itemOf(message, 1)) != m_dataClass) {
                cancel("data class of " + name);
                return;
            }
            bool goOn = false;
            if (name == "SDMessageGetAllRecordsFromDevice")
                goOn = sendAllRecords();
            else if (name == "SDMessageProcessChanges")
                goOn = processChanges(message);
            else if (name == "SDMessageClearAllRecordsOnDevice")
                goOn = clearAllRecords(message);
            else if (name == "SDMessageFinishSessionOnDevice")
                goOn = finishSession();
            else
                cancel("unexpected " + name);
            if (!goOn)
                return;
        }
    }

private:
    void log(const std::string &line) { m_link.connection().log(line); }

    std::string recordsPath() const
    {
        return m_device.folder() + "/mobilesync/" + m_dataClass + ".plist";
    }

    PlistNode loadRecords() const
    {
        PlistNode records = PlistNode::fromFile(recordsPath());
        return records.isDict() ? std::move(records) : PlistNode(plist_new_dict());
    }

    bool saveRecords(const PlistNode &records) const
    {
        ::mkdir((m_device.folder() + "/mobilesync").c_str(), 0755);
        return records.writeXmlFile(recordsPath());
    }

    void cancel(const std::string &reason) { cancel(reason, m_link.nextFault()); }

    void cancel(const std::string &reason, ReplyFault::Kind fault)
    {
        log("cancelled: " + reason);
        m_link.send(Link::array({ Link::text("SDMessageCancelSession"), Link::text(m_dataClass),
                        Link::text(reason) }),
            fault);
    }

    // Takes the fault of the reply about to be made; a due "ErrorStatus" cancels instead of
    // doing what was asked, and the service ends.
    bool faulted(ReplyFault::Kind *fault)
    {
        *fault = m_link.nextFault();
        if (*fault != ReplyFault::ErrorStatus)
            return false;
        cancel("fault", *fault);
        return true;
    }

    // Sends [name, data class, item]; false to end the service.
    bool reply(
        ReplyFault::Kind fault, const char *name, const std::string &line, plist_t item = nullptr)
    {
        PlistNode message = Link::array({ Link::text(name), Link::text(m_dataClass) });
        if (item)
            plist_array_append_item(message.get(), item);
        log(line);
        return m_link.send(message, fault);
    }

    bool startSession()
    {
        std::string name;
        const PlistNode start = m_link.receive(&name);
        m_dataClass = PlistNode::textOf(Link::itemOf(start, 1));
        plist_t version = Link::itemOf(start, 4);
        uint64_t number = 0;
        if (PlistNode::isType(version, PLIST_UINT))
            plist_get_uint_val(version, &number);
        const bool usable = !m_dataClass.empty() && m_dataClass[0] != '.'
            && m_dataClass.find('/') == std::string::npos;
        if (name != "SDMessageSyncDataClassWithDevice" || !usable
            || !PlistNode::isType(Link::itemOf(start, 2), PLIST_STRING)
            || !PlistNode::isType(Link::itemOf(start, 3), PLIST_STRING)
            || number != protocolVersion) {
            log("refused to sync");
            m_link.send(Link::array({ Link::text("SDMessageRefuseToSyncDataClassWithComputer"),
                Link::text(m_dataClass), Link::text("malformed session start") }));
            return false;
        }
        ReplyFault::Kind fault;
        return !faulted(&fault)
            && reply(fault, "SDMessageSyncDataClassWithComputer", "session for " + m_dataClass,
                Link::text("SDSyncTypeSlow"));
    }

    long long recordsPerBatch() const
    {
        bool found = false;
        const long long count
            = m_device.domainValues("com.apple.mobilesync").integerItem("RecordsPerBatch", &found);
        return found && count > 0 ? count : defaultRecordsPerBatch;
    }

    bool sendAllRecords()
    {
        const PlistNode records = loadRecords();
        const long long perBatch = recordsPerBatch();
        const uint32_t total = plist_dict_get_size(records.get());
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(records.get(), &it);
        uint32_t sent = 0;
        int batches = 0;
        bool goOn = true;
        while (goOn && sent < total) {
            plist_t batch = plist_new_dict();
            for (long long i = 0; i < perBatch && sent < total; ++i, ++sent) {
                char *key = nullptr;
                plist_t record = nullptr;
                plist_dict_next_item(records.get(), it, &key, &record);
                if (!key)
                    break;
                plist_dict_set_item(batch, key, plist_copy(record));
                free(key);
            }
            const bool more = sent < total;
            plist_t actions = plist_new_dict();
            PlistNode message = Link::array({ Link::text("SDMessageProcessChanges"),
                Link::text(m_dataClass), batch, plist_new_bool(more), actions });
            goOn = m_link.send(message) && awaitAcknowledgement();
            ++batches;
        }
        free(it);
        if (!goOn)
            return false;
        log("sent " + std::to_string(sent) + " records in " + std::to_string(batches) + " batches");
        return m_link.send(Link::array({ Link::text("SDMessageDeviceReadyToReceiveChanges") }));
    }

    bool awaitAcknowledgement()
    {
        std::string name;
        const PlistNode answer = m_link.receive(&name);
        if (name == "SDMessageAcknowledgeChangesFromDevice"
            && PlistNode::textOf(Link::itemOf(answer, 1)) == m_dataClass)
            return true;
        cancel("no acknowledgement");
        return false;
    }

    // The device's identifier for a new record: one more than the highest number in use.
    static std::string nextIdentifier(plist_t records)
    {
        unsigned long long highest = 0;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(records, &it);
        for (;;) {
            char *key = nullptr;
            plist_t record = nullptr;
            plist_dict_next_item(records, it, &key, &record);
            if (!key)
                break;
            char *end = nullptr;
            const unsigned long long number = std::strtoull(key, &end, 10);
            if (end && *end == '\0' && number > highest)
                highest = number;
            free(key);
        }
        free(it);
        return std::to_string(highest + 1);
    }

    bool processChanges(const PlistNode &message)
    {
        plist_t changes = Link::itemOf(message, 2);
        if (!PlistNode::isType(changes, PLIST_DICT)
            || !PlistNode::isType(Link::itemOf(message, 3), PLIST_BOOLEAN)
            || !PlistNode::isType(Link::itemOf(message, 4), PLIST_DICT)) {
            cancel("malformed changes");
            return false;
        }
        ReplyFault::Kind fault;
        if (faulted(&fault))
            return false;
        PlistNode records = loadRecords();
        plist_t remapped = plist_new_dict();
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(changes, &it);
        int applied = 0;
        bool wellFormed = true;
        for (;;) {
            char *key = nullptr;
            plist_t record = nullptr;
            plist_dict_next_item(changes, it, &key, &record);
            if (!key)
                break;
            if (!PlistNode::isType(record, PLIST_DICT)) {
                wellFormed = false;
            } else if (plist_dict_get_item(records.get(), key)) {
                plist_dict_set_item(records.get(), key, plist_copy(record));
            } else {
                const std::string identifier = nextIdentifier(records.get());
                plist_dict_set_item(records.get(), identifier.c_str(), plist_copy(record));
                plist_dict_set_item(remapped, key, plist_new_string(identifier.c_str()));
            }
            ++applied;
            free(key);
        }
        free(it);
        // Nothing is kept of a batch with a record that is no dictionary.
        if (!wellFormed) {
            plist_free(remapped);
            cancel("a record is no dictionary");
            return false;
        }
        if (!saveRecords(records)) {
            plist_free(remapped);
            cancel("records not written");
            return false;
        }
        return reply(fault, "SDMessageRemapRecordIdentifiers",
            "applied " + std::to_string(applied) + " records", remapped);
    }

    bool clearAllRecords(const PlistNode &message)
    {
        if (PlistNode::textOf(Link::itemOf(message, 2)) != Link::emptyParameter) {
            cancel("malformed clear");
            return false;
        }
        ReplyFault::Kind fault;
        if (faulted(&fault))
            return false;
        if (!saveRecords(PlistNode(plist_new_dict()))) {
            cancel("records not written");
            return false;
        }
        return reply(fault, "SDMessageDeviceWillClearAllRecords", "cleared all records");
    }

    bool finishSession()
    {
        ReplyFault::Kind fault;
        return !faulted(&fault)
            && reply(fault, "SDMessageDeviceFinishedSession", "session finished");
    }

    Link m_link;
    SimulatedDevice &m_device;
    std::string m_dataClass;
};

void runMobileSync(ServiceConnection &connection)
{
    SyncService(connection).run();
}

const ServiceRegistration registration("com.apple.mobilesync", &runMobileSync);

} // namespace
