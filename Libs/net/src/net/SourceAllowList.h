// Optional allow-lists of datagram senders. A site may name the hosts that may
// send control sentences (QHV_CONTROL_FROM) and sensor data (QHV_SENSOR_FROM);
// a datagram from any other host is dropped before it becomes a signal.
// Read once at start; Allows may then be called from any thread.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class SourceAllowList {
public:
    // Allows every sender.
    SourceAllowList() = default;

    // The list in the environment variable `variable`: IPv4 addresses and CIDR
    // prefixes ("192.168.10.7", "10.1.0.0/16"), separated by commas or blanks.
    // Unset or blank, it allows every sender.
    static SourceAllowList FromEnvironment(const char* variable);
    static SourceAllowList Parse(std::string variable, std::string_view text);

    // True when the list allows every sender (no list was given).
    bool AllowsAny() const { return !m_restricted; }
    bool Allows(const boost::asio::ip::address& sender) const;

    // The variable the list came from, for reports.
    const std::string& Variable() const { return m_variable; }
    // The entries that could not be read. They allow no sender, so a list of
    // nothing but faulty entries allows none: a site that asked for a list
    // never gets an open port by a typing error.
    const std::vector<std::string>& Faults() const { return m_faults; }

private:
    struct Prefix {
        std::uint32_t network;
        std::uint32_t mask;
    };

    std::string m_variable;
    bool m_restricted = false;
    std::vector<Prefix> m_prefixes;
    std::vector<std::string> m_faults;
};

// The process's two lists, read from the environment at their first use.
const std::shared_ptr<const SourceAllowList>& ControlAllowList();  // QHV_CONTROL_FROM
const std::shared_ptr<const SourceAllowList>& SensorAllowList();   // QHV_SENSOR_FROM
