// qhvsim, the motion-sensor simulator: sends binary heave datagrams and $PQRV
// sentences over UDP at steady rates, paced against the monotonic clock, until
// Ctrl-C, a count or a time ends it. One thread: everything runs in io.run().
// What is due at one wake-up goes out with one sendmmsg (up to 64 datagrams),
// so high rates cost few system calls; at low rates each wake-up sends one.
#include "ToolSupport.h"

#include "formats/HeaveDatagram.h"
#include "platform/DatagramBatch.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using boost::asio::ip::udp;

const char Usage[] = R"(Usage: qhvsim [options]

Motion-sensor simulator for trying QHVLogger: sends binary heave datagrams and
$PQRV sentences over UDP at steady rates until Ctrl-C, --count or --seconds.

Options:
  --host ADDR         numeric IPv4 address to send to (default 127.0.0.1)
  --heave-port PORT   UDP port of the heave datagrams (default 31102)
  --heave-rate N      heave datagrams per second, decimals allowed, up to 100000
                      (default 20; 0 = none)
  --with-52           follow every K-th heave datagram with a 52-byte one
  --every K           K for --with-52 (default 10)
  --p2x-port PORT     UDP port of the $PQRV sentences (default 31202)
  --p2x-rate N        $PQRV sentences per second, decimals allowed, up to 100000
                      (default 1; 0 = none; with both rates 0 it sends nothing
                      and waits to be stopped)
  --change-every S    seconds between two changes of the sentences' content
                      (default 60; 0 = never)
  --count N           end after N heave datagrams of 13 bytes
                      (with --heave-rate 0: after N sentences)
  --seconds S         end after S seconds
  -h, --help          show this text

Heave datagram, 13 bytes; numbers big-endian, angles in 0.01 degree:
  0       0xAA
  1       'R'
  2..5    UNIX time in seconds (unsigned 32 bits)
  6..7    heave in mm (signed 16 bits): two slow sines, within +/-900 mm
  8..9    roll (signed 16 bits)
  10..11  pitch (signed 16 bits)
  12      status: 0x00 = valid
With --with-52, every K-th of them is followed by one of 52 bytes:
  0       0xAA
  1       'S'
  2..5    UNIX time in seconds, as above
  6..11   heave, roll and pitch, as above
  12..13  heading (unsigned 16 bits), turning slowly
  14..15  heave velocity in mm/s (signed 16 bits)
  16..19  number of 13-byte datagrams sent so far (unsigned 32 bits)
  20..50  zero (reserved)
  51      status: 0x00 = valid

$PQRV sentences, in turn, each with its NMEA checksum and "\r\n" at the end:
  $PQRV,25,1,LEVER,0.120,-0.350,1.875*hh   lever arm of the sensor, m
  $PQRV,25,2,LEVER,0.000,0.000,-2.400*hh   lever arm of the transducer, m
  $PQRV,26,1,HEAVEFILTER,18.0,0.70*hh      heave filter period (s) and damping
  $PQRV,27,QRV-200,FW2.14,CFG1*hh          unit, firmware, configuration number
Their content repeats, so the P2X logger writes each once per file. Every
--change-every seconds the configuration number goes up by one: a changed
sentence, on which the logger starts a new file.

Exit code 0 when done or stopped (Ctrl-C, SIGTERM), 1 when the socket cannot
be opened, 2 for a bad command line.
)";

struct SimOptions {
    std::string host = "127.0.0.1";
    std::uint16_t heavePort = 31102;
    double heaveRate = 20;
    bool with52 = false;
    std::uint64_t every = 10;
    std::uint16_t p2xPort = 31202;
    double p2xRate = 1;
    double changeEvery = 60;
    std::optional<std::uint64_t> count;
    std::optional<double> seconds;
};

constexpr double HighestRate = 100000;
constexpr double LongestTime = 100.0 * 365 * 24 * 3600;  // keeps every time point inside the clock's range

// A rate or a period: 0 for none, else from 0.001 up. Anything smaller would
// put due times out of the clock's range.
double ZeroOrAtLeastLowest(const std::string& option, const std::string& text, double max)
{
    const double value = tools::DecimalNumber(option, text, 0, max);
    if (value > 0 && value < 0.001) {
        char range[32];
        std::snprintf(range, sizeof range, "%g", max);
        throw tools::UsageError(option + ": " + tools::Quoted(text) + " is neither 0 nor from 0.001 to " + range);
    }
    return value;
}

// Reads the options; nullopt when the help text was asked for (and printed).
std::optional<SimOptions> ReadOptions(int argc, char* argv[])
{
    tools::ArgumentCursor arguments(argc, argv);
    if (arguments.AsksForHelp()) {
        std::cout << Usage;
        return std::nullopt;
    }
    SimOptions options;
    while (!arguments.Done()) {
        const tools::Argument argument = arguments.Next();
        const std::string& name = argument.text;
        if (!argument.isOption) {
            throw tools::UsageError("unexpected argument " + tools::Quoted(name));
        } else if (name == "--host") {
            options.host = tools::NumericHost(name, arguments.ValueOf(argument));
        } else if (name == "--heave-port") {
            options.heavePort = tools::PortNumber(name, arguments.ValueOf(argument));
        } else if (name == "--heave-rate") {
            options.heaveRate = ZeroOrAtLeastLowest(name, arguments.ValueOf(argument), HighestRate);
        } else if (name == "--with-52") {
            tools::ArgumentCursor::NoValue(argument);
            options.with52 = true;
        } else if (name == "--every") {
            options.every = tools::WholeNumber(name, arguments.ValueOf(argument), 1, 1000000);
        } else if (name == "--p2x-port") {
            options.p2xPort = tools::PortNumber(name, arguments.ValueOf(argument));
        } else if (name == "--p2x-rate") {
            options.p2xRate = ZeroOrAtLeastLowest(name, arguments.ValueOf(argument), HighestRate);
        } else if (name == "--change-every") {
            options.changeEvery = ZeroOrAtLeastLowest(name, arguments.ValueOf(argument), LongestTime);
        } else if (name == "--count") {
            options.count = tools::WholeNumber(name, arguments.ValueOf(argument), 1, UINT64_MAX);
        } else if (name == "--seconds") {
            options.seconds = tools::DecimalNumber(name, arguments.ValueOf(argument), 0, LongestTime);
        } else {
            throw tools::UsageError("unknown option " + tools::Quoted(name));
        }
    }
    // With both rates 0 the simulator sends nothing and waits to be stopped; a
    // count would never be reached then.
    if (options.heaveRate == 0 && options.p2xRate == 0 && options.count) {
        throw tools::UsageError("--count never ends: --heave-rate and --p2x-rate are both 0");
    }
    return options;
}

// The simulated motion at `t` seconds after the start.
struct Motion {
    double heaveMm;
    double heaveVelocityMmPerS;
    double roll;     // 0.01 degree
    double pitch;    // 0.01 degree
    double heading;  // 0.01 degree, 0 .. 36000
};

Motion MotionAt(double t)
{
    constexpr double TwoPi = 6.283185307179586;
    const double swell = TwoPi / 8.0;  // the long swell and a short sea on top of it
    const double sea = TwoPi / 3.3;
    Motion motion {};
    motion.heaveMm = 700 * std::sin(swell * t) + 200 * std::sin(sea * t);
    motion.heaveVelocityMmPerS = 700 * swell * std::cos(swell * t) + 200 * sea * std::cos(sea * t);
    motion.roll = 350 * std::sin(TwoPi / 6.5 * t);
    motion.pitch = 150 * std::sin(TwoPi / 9.5 * t + 1.0);
    motion.heading = std::fmod(9000 + 10 * t, 36000);
    return motion;
}

void PutBig16(std::uint8_t* at, double value)
{
    const auto bits = static_cast<std::uint16_t>(static_cast<std::int32_t>(std::lround(value)));
    at[0] = static_cast<std::uint8_t>(bits >> 8);
    at[1] = static_cast<std::uint8_t>(bits);
}

void PutBig32(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::array<std::uint8_t, formats::ShortHeaveLength> ShortDatagram(std::uint32_t unixTime, const Motion& motion)
{
    std::array<std::uint8_t, formats::ShortHeaveLength> datagram {};
    datagram[0] = formats::HeaveStartByte;
    datagram[1] = 'R';
    PutBig32(&datagram[2], unixTime);
    PutBig16(&datagram[6], motion.heaveMm);
    PutBig16(&datagram[8], motion.roll);
    PutBig16(&datagram[10], motion.pitch);
    datagram[12] = 0x00;
    return datagram;
}

std::array<std::uint8_t, formats::LongHeaveLength> LongDatagram(std::uint32_t unixTime, const Motion& motion, std::uint32_t sequence)
{
    std::array<std::uint8_t, formats::LongHeaveLength> datagram {};
    datagram[0] = formats::HeaveStartByte;
    datagram[1] = 'S';
    PutBig32(&datagram[2], unixTime);
    PutBig16(&datagram[6], motion.heaveMm);
    PutBig16(&datagram[8], motion.roll);
    PutBig16(&datagram[10], motion.pitch);
    PutBig16(&datagram[12], motion.heading);
    PutBig16(&datagram[14], motion.heaveVelocityMmPerS);
    PutBig32(&datagram[16], sequence);
    datagram[51] = 0x00;
    return datagram;
}

// "$<body>*hh\r\n": hh is the XOR of the bytes between '$' and '*'.
std::string WithChecksum(const std::string& body)
{
    unsigned checksum = 0;
    for (const char c : body) {
        checksum ^= static_cast<unsigned char>(c);
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", checksum);
    return "$" + body + "*" + digits + "\r\n";
}

// Sentence `index` of the cycle 25/1, 25/2, 26/1, 27; `configuration` is the
// one value that changes.
std::string SensorSentence(std::uint64_t index, std::uint64_t configuration)
{
    switch (index % 4) {
    case 0:
        return WithChecksum("PQRV,25,1,LEVER,0.120,-0.350,1.875");
    case 1:
        return WithChecksum("PQRV,25,2,LEVER,0.000,0.000,-2.400");
    case 2:
        return WithChecksum("PQRV,26,1,HEAVEFILTER,18.0,0.70");
    default:
        return WithChecksum("PQRV,27,QRV-200,FW2.14,CFG" + std::to_string(configuration));
    }
}

Clock::duration Seconds(double seconds)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A stream of events at a steady rate; event n is due n / rate seconds after the
// anchor. More than a second behind (the process was held up), the stream starts
// over from the present instead of sending the backlog in one burst.
class CPace {
public:
    CPace(double rate, Clock::time_point start) : m_rate(rate), m_anchor(start) {}

    bool Active() const { return m_rate > 0; }
    std::uint64_t Count() const { return m_count; }

    Clock::time_point NextDue() const
    {
        return m_anchor + Seconds(static_cast<double>(m_count - m_anchorCount) / m_rate);
    }

    bool Due(Clock::time_point now)
    {
        if (!Active()) {
            return false;
        }
        if (now - NextDue() > std::chrono::seconds(1)) {
            m_anchor = now;
            m_anchorCount = m_count;
        }
        return NextDue() <= now;
    }

    void Done() { ++m_count; }

private:
    double m_rate;
    Clock::time_point m_anchor;
    std::uint64_t m_anchorCount = 0;
    std::uint64_t m_count = 0;
};

class CSimulator {
public:
    CSimulator(boost::asio::io_context& io, const SimOptions& options)
        : m_io(io),
          m_options(options),
          m_socket(io, udp::v4()),
          m_timer(io),
          m_signals(io, SIGINT, SIGTERM),
          m_start(Clock::now()),
          m_heave(options.heaveRate, m_start),
          m_sentences(options.p2xRate, m_start),
          m_batch(m_socket.native_handle())
    {
        m_heaveDestination = platform::Ipv4Destination(options.host, options.heavePort);
        m_sentenceDestination = platform::Ipv4Destination(options.host, options.p2xPort);
        if (options.seconds) {
            m_end = m_start + Seconds(*options.seconds);
        }
    }

    // Sends until the count or the time is reached or a signal arrives.
    void Run()
    {
        m_signals.async_wait([this](const boost::system::error_code& error, int signalNumber) {
            if (!error) {
                m_stopSignal = signalNumber;
                m_io.stop();
            }
        });
        PrintPlan();
        Wake();
        m_io.run();
    }

    void PrintSummary() const
    {
        const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
        std::printf("qhvsim: %s; sent %llu heave datagrams of 13 bytes, %llu of 52 bytes and %llu $PQRV sentences"
                    " in %.2f s",
                    m_stopSignal == SIGINT    ? "stopped by SIGINT"
                    : m_stopSignal == SIGTERM ? "stopped by SIGTERM"
                                              : "done",
                    static_cast<unsigned long long>(m_heave.Count()), static_cast<unsigned long long>(m_long),
                    static_cast<unsigned long long>(m_sentences.Count()), elapsed);
        if (m_batch.Failures() > 0) {
            std::printf("; %llu sends failed, the last with: %s", static_cast<unsigned long long>(m_batch.Failures()),
                        m_batch.LastError().c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
    }

private:
    void PrintPlan() const
    {
        std::string plan = "qhvsim: ";
        char part[160];
        if (m_heave.Active()) {
            std::snprintf(part, sizeof part, "heave %g/s to %s:%u", m_options.heaveRate, m_options.host.c_str(),
                          m_options.heavePort);
            plan += part;
            if (m_options.with52) {
                plan += " with a 52-byte one after every " + std::to_string(m_options.every) + "th";
            }
        } else {
            plan += "no heave";
        }
        if (m_sentences.Active()) {
            std::snprintf(part, sizeof part, ", $PQRV %g/s to %s:%u", m_options.p2xRate, m_options.host.c_str(),
                          m_options.p2xPort);
            plan += part;
        } else {
            plan += ", no $PQRV";
        }
        std::printf("%s; Ctrl-C ends\n", plan.c_str());
        std::fflush(stdout);
    }

    // Sends what is due, then sleeps until the next event is due.
    void Wake()
    {
        const Clock::time_point now = Clock::now();
        while (!Finished(now) && m_heave.Due(now)) {
            SendHeave(now);
        }
        while (!Finished(now) && m_sentences.Due(now)) {
            SendSentence(now);
        }
        m_batch.Flush();
        if (Finished(now)) {
            m_io.stop();
            return;
        }
        Clock::time_point next = Clock::time_point::max();
        if (m_heave.Active()) {
            next = std::min(next, m_heave.NextDue());
        }
        if (m_sentences.Active()) {
            next = std::min(next, m_sentences.NextDue());
        }
        if (m_end) {
            next = std::min(next, *m_end);
        }
        if (next == Clock::time_point::max()) {
            return;  // nothing to send and no end: only a signal ends the run
        }
        m_timer.expires_at(next);
        m_timer.async_wait([this](const boost::system::error_code& error) {
            if (!error) {
                Wake();
            }
        });
    }

    bool Finished(Clock::time_point now) const
    {
        if (m_end && now >= *m_end) {
            return true;
        }
        const std::uint64_t counted = m_heave.Active() ? m_heave.Count() : m_sentences.Count();
        return m_options.count && counted >= *m_options.count;
    }

    void SendHeave(Clock::time_point now)
    {
        const auto unixTime = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
        const Motion motion = MotionAt(std::chrono::duration<double>(now - m_start).count());
        const auto datagram = ShortDatagram(unixTime, motion);
        Send(datagram.data(), datagram.size(), m_heaveDestination);
        m_heave.Done();
        if (m_options.with52 && m_heave.Count() % m_options.every == 0) {
            const auto longDatagram = LongDatagram(unixTime, motion, static_cast<std::uint32_t>(m_heave.Count()));
            Send(longDatagram.data(), longDatagram.size(), m_heaveDestination);
            ++m_long;
        }
    }

    void SendSentence(Clock::time_point now)
    {
        std::uint64_t configuration = 1;
        if (m_options.changeEvery > 0) {
            const double elapsed = std::chrono::duration<double>(now - m_start).count();
            configuration += static_cast<std::uint64_t>(elapsed / m_options.changeEvery);
        }
        const std::string sentence = SensorSentence(m_sentences.Count(), configuration);
        Send(sentence.data(), sentence.size(), m_sentenceDestination);
        m_sentences.Done();
    }

    // Queued for the wake-up's sendmmsg. A failed send is counted and reported
    // at the end; the sensor keeps sending.
    void Send(const void* data, std::size_t size, const sockaddr_in& destination)
    {
        m_batch.Add(data, size, destination);
    }

    boost::asio::io_context& m_io;
    const SimOptions m_options;
    udp::socket m_socket;
    boost::asio::steady_timer m_timer;
    boost::asio::signal_set m_signals;
    sockaddr_in m_heaveDestination {};
    sockaddr_in m_sentenceDestination {};
    const Clock::time_point m_start;
    std::optional<Clock::time_point> m_end;
    CPace m_heave;
    CPace m_sentences;
    platform::CDatagramBatch m_batch;  // sends through m_socket
    std::uint64_t m_long = 0;
    int m_stopSignal = 0;
};

}  // namespace

int main(int argc, char* argv[])
{
    return tools::RunTool("qhvsim", [&] {
        const std::optional<SimOptions> options = ReadOptions(argc, argv);
        if (!options) {
            return 0;
        }
        boost::asio::io_context io;
        CSimulator simulator(io, *options);
        simulator.Run();
        simulator.PrintSummary();
        return 0;
    });
}
