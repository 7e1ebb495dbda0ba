// Reading a stand-in program's options: `--name` and `--name VALUE`. A wrong argument is
// named in the error, so that a person at the command line sees what to change.
//
//   command_line args(argc, argv);
//   while (args.next()) {
//       if (args.is("--seconds")) args.number(&seconds, 1);
//       else if (args.is("--quiet")) quiet = true;
//       else args.unknown();
//   }
//   if (!args.ok()) { print args.error() and the usage; exit 2 }
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

class command_line;

// The front door of a program's options: `--help` alone prints `usage` (status 0); `parse`
// failing prints the error it names, then `usage` (status 2); -1 when the options were read.
template <class Parse>
int read_options(int argc, char** argv, const char* program, const char* usage, Parse parse)
{
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::printf("%s", usage);
        return 0;
    }
    std::string error;
    if (!parse(&error)) {
        std::fprintf(stderr, "%s: %s\n%s", program, error.c_str(), usage);
        return 2;
    }
    return -1;
}

class command_line {
public:
    command_line(int argc, char** argv) : argc_(argc), argv_(argv) {}

    // Steps to the next option; false at the end or after the first error.
    bool next()
    {
        if (!error_.empty() || ++at_ >= argc_)
            return false;
        option_ = argv_[at_];
        return true;
    }
    bool is(const char* name) const { return option_ == name; }
    const std::string& option() const { return option_; }

    // The option's value: the next argument.
    bool text(std::string* out)
    {
        if (at_ + 1 >= argc_)
            return fail(option_ + " needs a value");
        *out = argv_[++at_];
        return true;
    }
    // A whole decimal number of at least `least`.
    bool number(int* out, long least = 0, long most = 0x7FFFFFFF)
    {
        std::string value;
        if (!text(&value))
            return false;
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != 0 || errno != 0)
            return fail(option_ + ": '" + value + "' is not a whole number");
        if (n < least || n > most)
            return fail(option_ + ": '" + value + "' is out of range (" + std::to_string(least) + " to " +
                        std::to_string(most) + ")");
        *out = static_cast<int>(n);
        return true;
    }
    void unknown() { fail("unknown option '" + option_ + "'"); }
    bool fail(const std::string& why)
    {
        if (error_.empty())
            error_ = why;
        return false;
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

private:
    int argc_;
    char** argv_;
    int at_ = 0;
    std::string option_;
    std::string error_;
};
