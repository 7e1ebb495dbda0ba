// An output file that takes its final name only when the export is done. It is written under
// NAME.partial; an export that ends otherwise (stopped by the user, no answer in time, the
// plug-in gone) removes it, and one that never gets that far (the encoder killed) leaves only
// the .partial name, so that nothing under the final name looks whole and is not.
#pragma once

#include "encoder_log.h"

#include <windows.h>

#include <string>

class output_file {
public:
    output_file() = default;
    ~output_file() { discard(); }
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // The name to write to. What stood under the final name goes: the export replaces it in
    // any case, and an export that does not finish must not leave an older file there.
    const std::string& begin(const std::string& final_path)
    {
        discard();
        final_ = final_path;
        partial_ = final_path + ".partial";
        DeleteFileA(final_.c_str());
        DeleteFileA(partial_.c_str());
        return partial_;
    }
    // Gives the written file its final name; false when none was begun or the rename failed.
    // The file must be closed.
    bool keep()
    {
        if (partial_.empty())
            return false;
        const bool kept = MoveFileExA(partial_.c_str(), final_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        if (!kept)
            log_line("cannot rename %s to %s", partial_.c_str(), final_.c_str());
        partial_.clear();
        return kept;
    }
    // Removes the file begun, if there is one. The file must be closed.
    void discard()
    {
        if (partial_.empty())
            return;
        if (DeleteFileA(partial_.c_str()))
            log_line("removed %s", partial_.c_str());
        partial_.clear();
    }
    const std::string& final_path() const { return final_; }

private:
    std::string final_, partial_;
};
