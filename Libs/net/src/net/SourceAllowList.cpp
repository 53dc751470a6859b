#include "net/SourceAllowList.h"

#include <charconv>
#include <cstdlib>

namespace {

bool IsListSeparator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

SourceAllowList SourceAllowList::FromEnvironment(const char* variable)
{
    const char* text = std::getenv(variable);
    return Parse(variable, text != nullptr ? text : "");
}

SourceAllowList SourceAllowList::Parse(std::string variable, std::string_view text)
{
    SourceAllowList list;
    list.m_variable = std::move(variable);
    while (!text.empty()) {
        while (!text.empty() && IsListSeparator(text.front())) {
            text.remove_prefix(1);
        }
        std::size_t end = 0;
        while (end < text.size() && !IsListSeparator(text[end])) {
            ++end;
        }
        if (end == 0) {
            break;
        }
        const std::string_view entry = text.substr(0, end);
        text.remove_prefix(end);
        list.m_restricted = true;

        const std::size_t slash = entry.find('/');
        const std::string_view addressText = entry.substr(0, slash);
        unsigned bits = 32;
        bool readable = true;
        if (slash != std::string_view::npos) {
            const std::string_view bitsText = entry.substr(slash + 1);
            const auto result = std::from_chars(bitsText.data(), bitsText.data() + bitsText.size(), bits);
            readable = !bitsText.empty() && result.ec == std::errc() &&
                       result.ptr == bitsText.data() + bitsText.size() && bits <= 32;
        }
        boost::system::error_code error;
        const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(std::string(addressText), error);
        if (error || !readable) {
            list.m_faults.emplace_back(entry);
            continue;
        }
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{ 0 } << (32 - bits);
        list.m_prefixes.push_back({ address.to_uint() & mask, mask });
    }
    return list;
}

bool SourceAllowList::Allows(const boost::asio::ip::address& sender) const
{
    if (!m_restricted) {
        return true;
    }
    std::uint32_t value = 0;
    if (sender.is_v4()) {
        value = sender.to_v4().to_uint();
    } else if (sender.to_v6().is_v4_mapped()) {
        value = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, sender.to_v6()).to_uint();
    } else {
        return false;
    }
    for (const Prefix& prefix : m_prefixes) {
        if ((value & prefix.mask) == prefix.network) {
            return true;
        }
    }
    return false;
}

const std::shared_ptr<const SourceAllowList>& ControlAllowList()
{
    static const auto list = std::make_shared<const SourceAllowList>(SourceAllowList::FromEnvironment("QHV_CONTROL_FROM"));
    return list;
}

const std::shared_ptr<const SourceAllowList>& SensorAllowList()
{
    static const auto list = std::make_shared<const SourceAllowList>(SourceAllowList::FromEnvironment("QHV_SENSOR_FROM"));
    return list;
}
