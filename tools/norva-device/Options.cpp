#include "Options.h"

#include "Log.h"

#include <charconv>
#include <functional>
#include <map>

namespace norva {

namespace {

// The largest UDP payload that fits one IPv4 datagram.
constexpr unsigned long MaxDatagram = 65507;
constexpr unsigned long MaxDelayMs = 600000;

using Handler = std::function<void(const std::string& value)>;

// Walks "--name value" and "--name=value" pairs; flags take no value.
void walk(const std::vector<std::string>& args, std::string_view mode,
          const std::map<std::string, Handler, std::less<>>& valued,
          const std::map<std::string, std::function<void()>, std::less<>>& flags) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (const auto f = flags.find(name); f != flags.end()) {
            if (value)
                throw Options::UsageError("option " + name + " takes no value");
            f->second();
            continue;
        }
        const auto v = valued.find(name);
        if (v == valued.end()) {
            if (name.rfind("-", 0) == 0)
                throw Options::UsageError("unknown option " + name + " for '" + std::string(mode) +
                                          "' (see norva-device " + std::string(mode) + " --help)");
            throw Options::UsageError("unexpected argument '" + name + "' for '" +
                                      std::string(mode) + "'");
        }
        if (!value) {
            if (i + 1 >= args.size())
                throw Options::UsageError("option " + name + " needs a value");
            value = args[++i];
        }
        v->second(*value);
    }
}

std::vector<std::string> splitScript(std::string_view text) {
    // A backslash keeps the next character inside the entry, so "\," is a literal comma.
    std::vector<std::string> entries(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            entries.back() += text.substr(i, 2);
            ++i;
        } else if (text[i] == ',') {
            entries.emplace_back();
        } else {
            entries.back() += text[i];
        }
    }
    return entries;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string UdpAnswer::describe() const {
    switch (kind) {
    case Kind::Ack:
        return "ack";
    case Kind::Nak:
        return "nak";
    case Kind::Silent:
        return "silent";
    case Kind::Late:
        return "late:" + std::to_string(delayMs);
    case Kind::Text:
        return "text:" + Log::quote(payload);
    case Kind::Garbage:
        return "garbage";
    case Kind::Big:
        return "big:" + std::to_string(size);
    }
    return "?";
}

unsigned long Options::parseNumber(std::string_view text, unsigned long min, unsigned long max,
                                   std::string_view what) {
    unsigned long value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not '" + std::string(text) + "'");
    return value;
}

NetAddress Options::parseAddress(std::string_view text, bool allowPortZero, std::string_view what) {
    const auto address = NetAddress::parse(text);
    if (!address || (!allowPortZero && address->port() == 0))
        throw UsageError(std::string(what) + " must be ADDR:PORT with a numeric address " +
                         "(IPv6 as [ADDR]:PORT) and a port from " + (allowPortZero ? "0" : "1") +
                         " to 65535, not '" + std::string(text) + "'");
    return *address;
}

std::string Options::unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case 'x': {
            const int hi = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                throw UsageError("\\x must be followed by two hex digits in '" + std::string(text) +
                                 "'");
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            out += c;
        }
    }
    return out;
}

UdpAnswer Options::parseUdpAnswer(std::string_view text) {
    const auto colon = text.find(':');
    const auto name = text.substr(0, colon);
    const auto arg = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    const bool hasArg = colon != std::string_view::npos;
    UdpAnswer answer;
    const auto noArg = [&] {
        if (hasArg)
            throw UsageError("answer '" + std::string(name) + "' takes no ':' argument");
    };
    if (name == "ack") {
        noArg();
        answer.kind = UdpAnswer::Kind::Ack;
    } else if (name == "nak") {
        noArg();
        answer.kind = UdpAnswer::Kind::Nak;
    } else if (name == "silent") {
        noArg();
        answer.kind = UdpAnswer::Kind::Silent;
    } else if (name == "garbage") {
        noArg();
        answer.kind = UdpAnswer::Kind::Garbage;
    } else if (name == "late") {
        answer.kind = UdpAnswer::Kind::Late;
        answer.delayMs = static_cast<unsigned>(parseNumber(arg, 0, MaxDelayMs, "late:MS"));
    } else if (name == "text") {
        if (!hasArg)
            throw UsageError("answer text needs its bytes: text:STRING");
        answer.kind = UdpAnswer::Kind::Text;
        answer.payload = unescape(arg);
        if (answer.payload.size() > MaxDatagram)
            throw UsageError("text answer is longer than one datagram");
    } else if (name == "big") {
        answer.kind = UdpAnswer::Kind::Big;
        answer.size = parseNumber(arg, 0, MaxDatagram, "big:N");
    } else {
        throw UsageError("unknown answer '" + std::string(text) +
                         "' (ack, nak, silent, late:MS, text:STRING, garbage, big:N)");
    }
    return answer;
}

std::vector<UdpAnswer> Options::parseScript(std::string_view text) {
    std::vector<UdpAnswer> script;
    for (const auto& entry : splitScript(text)) {
        if (entry.empty())
            throw UsageError("empty entry in script '" + std::string(text) + "'");
        script.push_back(parseUdpAnswer(entry));
    }
    return script;
}

SerialAnswer Options::parseSerialAnswer(std::string_view text) {
    for (auto a : {SerialAnswer::Whole, SerialAnswer::Split, SerialAnswer::Crlf,
                   SerialAnswer::Silent, SerialAnswer::Garbage}) {
        if (text == serialAnswerName(a))
            return a;
    }
    throw UsageError("unknown answer '" + std::string(text) +
                     "' (whole, split, crlf, silent, garbage)");
}

std::string_view Options::serialAnswerName(SerialAnswer answer) {
    switch (answer) {
    case SerialAnswer::Whole:
        return "whole";
    case SerialAnswer::Split:
        return "split";
    case SerialAnswer::Crlf:
        return "crlf";
    case SerialAnswer::Silent:
        return "silent";
    case SerialAnswer::Garbage:
        return "garbage";
    }
    return "?";
}

UdpOptions Options::parseUdp(const std::vector<std::string>& args) {
    UdpOptions o;
    bool haveBind = false;
    bool haveAnswer = false;
    bool haveScript = false;
    walk(args, "udp",
         {
             {"--bind",
              [&](const std::string& v) {
                  o.bind = parseAddress(v, true, "--bind");
                  haveBind = true;
              }},
             {"--reply-to",
              [&](const std::string& v) { o.replyTo = parseAddress(v, false, "--reply-to"); }},
             {"--from-port",
              [&](const std::string& v) {
                  o.fromPort = static_cast<unsigned>(parseNumber(v, 0, 65535, "--from-port"));
              }},
             {"--answer",
              [&](const std::string& v) {
                  o.script = {parseUdpAnswer(v)};
                  haveAnswer = true;
              }},
             {"--script",
              [&](const std::string& v) {
                  o.script = parseScript(v);
                  haveScript = true;
              }},
         },
         {});
    if (!haveBind)
        throw UsageError("udp needs --bind ADDR:PORT (see norva-device udp --help)");
    if (haveAnswer && haveScript)
        throw UsageError("give either --answer or --script, not both");
    return o;
}

SerialOptions Options::parseSerial(const std::vector<std::string>& args) {
    SerialOptions o;
    walk(args, "serial",
         {
             {"--link",
              [&](const std::string& v) {
                  if (v.empty())
                      throw UsageError("--link needs a path");
                  o.link = v;
              }},
             {"--answer", [&](const std::string& v) { o.answer = parseSerialAnswer(v); }},
         },
         {{"--print-path", [&] { o.printPath = true; }}});
    if (o.link.empty() && !o.printPath)
        throw UsageError("serial needs --link PATH or --print-path (see norva-device serial "
                         "--help)");
    return o;
}

CommandOptions Options::parseCommand(const std::vector<std::string>& args) {
    CommandOptions o;
    walk(args, "command",
         {
             {"--host",
              [&](const std::string& v) {
                  if (v.empty())
                      throw UsageError("--host needs a host name or address");
                  o.host = v;
              }},
             {"--port",
              [&](const std::string& v) {
                  o.port = static_cast<unsigned>(parseNumber(v, 1, 65535, "--port"));
              }},
             {"--user", [&](const std::string& v) { o.user = unescape(v); }},
             {"--password", [&](const std::string& v) { o.password = unescape(v); }},
             {"--action",
              [&](const std::string& v) {
                  if (v == "restart")
                      o.action = 1;
                  else if (v == "shutdown")
                      o.action = 2;
                  else
                      o.action = static_cast<unsigned>(
                          parseNumber(v, 0, 255, "--action (restart, shutdown or a number)"));
              }},
             {"--type",
              [&](const std::string& v) {
                  o.type = static_cast<unsigned>(parseNumber(v, 0, 255, "--type"));
              }},
             {"--hello-text", [&](const std::string& v) { o.helloText = unescape(v); }},
             {"--repeat",
              [&](const std::string& v) {
                  o.repeat = static_cast<unsigned>(parseNumber(v, 0, 1000, "--repeat"));
              }},
             {"--timeout",
              [&](const std::string& v) {
                  o.timeoutMs = static_cast<unsigned>(parseNumber(v, 1, 60000, "--timeout"));
              }},
             {"--delay",
              [&](const std::string& v) {
                  o.delayMs = static_cast<unsigned>(parseNumber(v, 0, 60000, "--delay"));
              }},
             {"--length",
              [&](const std::string& v) { o.length = parseNumber(v, 1, 1024, "--length"); }},
         },
         {{"--no-hello", [&] { o.hello = false; }}});
    if (o.host.empty())
        throw UsageError("command needs --host HOST (see norva-device command --help)");
    if (o.hello && o.helloText.empty())
        throw UsageError("--hello-text must not be empty (use --no-hello to send none)");
    return o;
}

} // namespace norva
