#include "net/SendSentence.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include <cerrno>
#include <cstdlib>

namespace {

// The port of a destination text: decimal digits only, 1 .. 65535.
bool ParsePort(const std::string& text, std::uint16_t& port)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

bool sendSentence(const std::string& text, const std::string& destination, std::uint16_t portOverride)
{
    try {
        std::string host = destination;
        std::uint16_t port = portOverride;
        const std::size_t colon = destination.find(':');
        if (portOverride == 0 && colon != std::string::npos) {
            host = destination.substr(0, colon);
            if (!ParsePort(boost::algorithm::trim_copy(destination.substr(colon + 1)), port)) {
                return false;
            }
        }
        boost::algorithm::trim(host);

        boost::system::error_code error;
        const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(host, error);
        if (error || port == 0) {
            return false;
        }

        boost::asio::io_context io;
        boost::asio::ip::udp::socket socket(io);
        socket.open(boost::asio::ip::udp::v4(), error);
        if (error) {
            return false;
        }
        const std::size_t sent = socket.send_to(boost::asio::buffer(text.data(), text.size()),
                                                boost::asio::ip::udp::endpoint(address, port), 0, error);
        boost::system::error_code ignored;
        socket.close(ignored);
        return !error && sent == text.size();
    } catch (const std::exception&) {
        return false;
    }
}
