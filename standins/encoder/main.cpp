// Stand-in for the Tessora encoder: opens the channel a plug-in created and drives
// request/answer turns over it, logging what it sees.
//
//   encoder.exe [--prefix P] [--log FILE] [--open-timeout MS] [--reply-timeout MS]
//               [--ping N] [--ping-code C] [--done C] [--done-answered]
//
// Without --prefix the Premiere module's fixed object names are opened.
// --ping N runs N echo turns: the encoder writes code C, the turn number i into word 1 and
// i ^ 0xA5A5A5A5 into the first data word; the plug-in answers i + 1 in word 2 and the data
// word + 1 in the second data word. --done C sends C last (unanswered unless --done-answered).
//
// Exit status: 0 all turns answered as expected, 3 channel not found, 4 no answer in time,
// 5 an answer was wrong, 2 bad arguments.
#include "encoder_channel.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

FILE* g_log = nullptr;

void log_line(const char* format, ...)
{
    if (g_log == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

struct options {
    channel_names names = channel_names::premiere();
    std::string log_path;
    DWORD open_timeout = 30000;
    DWORD reply_timeout = 30000;
    long ping = 0;
    uint32_t ping_code = 100;
    bool has_done = false;
    uint32_t done_code = 9;
    bool done_answered = false;
};

bool parse(int argc, char** argv, options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        auto number = [&]() { return std::strtoul(argv[++i], nullptr, 0); };
        if (a == "--prefix" && has_value)
            o.names = channel_names::from_prefix(value());
        else if (a == "--log" && has_value)
            o.log_path = value();
        else if (a == "--open-timeout" && has_value)
            o.open_timeout = number();
        else if (a == "--reply-timeout" && has_value)
            o.reply_timeout = number();
        else if (a == "--ping" && has_value)
            o.ping = static_cast<long>(number());
        else if (a == "--ping-code" && has_value)
            o.ping_code = number();
        else if (a == "--done" && has_value) {
            o.has_done = true;
            o.done_code = number();
        } else if (a == "--done-answered")
            o.done_answered = true;
        else
            return false;
    }
    return true;
}

int ping(encoder_channel& channel, const options& o)
{
    long good = 0;
    for (long i = 0; i < o.ping; ++i) {
        const uint32_t turn = static_cast<uint32_t>(i);
        const uint32_t sent = turn ^ 0xA5A5A5A5u;
        channel.param().set_word(0, o.ping_code);
        channel.param().set_word(1, turn);
        channel.param().set_word(2, 0);
        channel.data().set_word(0, sent);
        channel.data().set_word(1, 0);
        if (!channel.turn(o.reply_timeout)) {
            log_line("ping %ld no answer", i);
            return 4;
        }
        if (channel.param().word(2) == turn + 1 && channel.data().word(1) == sent + 1)
            ++good;
        else
            log_line("ping %ld wrong answer %u %u", i, channel.param().word(2), channel.data().word(1));
    }
    log_line("ping %ld ok %ld", o.ping, good);
    return good == o.ping ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv)
{
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "encoder: bad arguments\n");
        return 2;
    }
    if (!o.log_path.empty())
        g_log = std::fopen(o.log_path.c_str(), "a");
    log_line("start %s", GetCommandLineA());

    encoder_channel channel;
    if (!channel.open(o.names, o.open_timeout)) {
        log_line("channel not found");
        return 3;
    }
    log_line("sizes param=%u data=%u", channel.param().size(), channel.data().size());

    int status = 0;
    if (o.ping > 0)
        status = ping(channel, o);
    if (status == 0 && o.has_done) {
        channel.param().set_word(0, o.done_code);
        if (o.done_answered) {
            if (!channel.turn(o.reply_timeout))
                status = 4;
        } else {
            channel.post();
        }
        log_line("done %u", o.done_code);
    }
    log_line("exit %d", status);
    if (g_log != nullptr)
        std::fclose(g_log);
    return status;
}
