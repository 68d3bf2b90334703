#include "change_record.h"

#include "log.h"
#include "platform.h"
#include "private_file.h"
#include "store_bridge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Each switch position's name in the record.
constexpr const char *mode_names[] = {nullptr, "ap", "wisp", "router"};
constexpr int record_size = sizeof "restart-owed-in-boot-" + boot_id_size;

// The record of the change from, to owed, or with to 0 of the restart owed in this boot:
// false when the kernel gives no boot id, as a restart owed then counts in no boot.
bool record_text(char (&text)[record_size], int from, int to) {
    if (to)
        return snprintf(text, sizeof text, "finish-%s-to-%s", mode_names[from], mode_names[to]) > 0;
    char id[boot_id_size] = {};
    int fd = open(boot_id_path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, id, sizeof id - 1) : 0;
    if (fd >= 0)
        close(fd);
    id[n == boot_id_size - 1 ? n : 0] = '\0';
    snprintf(text, sizeof text, "restart-owed-in-boot-%s", id);
    return id[0] != '\0';
}

// What a record's text owes: nothing unless it is one of the records this boot can owe.
change_record parsed(const char *text) {
    char owed[record_size];
    if (record_text(owed, 0, 0) && strcmp(text, owed) == 0)
        return {restart_owed, 0, 0};
    for (int from = position_ap; from <= position_router; ++from)
        for (int to = position_ap; to <= position_router; ++to)
            if (from != to && record_text(owed, from, to) && strcmp(text, owed) == 0)
                return {finish_owed, from, to};
    return {nothing_owed, 0, 0};
}

bool write_record(const char *word) {
    if (change_key[0])
        return write_word(change_key, word);
    if (replace_file(change_record_path, change_record_next_path, word))
        return true;
    log_repeating("cannot write %s: %s\n", change_record_path, strerror(errno));
    return note_failure(change_record_path, "could not be written");
}

} // namespace

const char *record_place() {
    return change_key[0] ? change_key : change_record_path;
}

change_record read_record() {
    char text[line_size] = {};
    if (change_key[0]) {
        char value[line_size] = {};
        if (!read_text(change_key, value))
            return {record_unreadable, 0, 0};
        if (!is_shell_word(value) || !shell_word_value(value, text))
            text[0] = '\0';
    } else {
        int fd = open_own(change_record_path);
        ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : 0;
        if (fd >= 0)
            close(fd);
        if (n < 0 || (fd < 0 && errno != ENOENT))
            return {record_unreadable, 0, 0};
        text[strcspn(text, "\n")] = '\0';
    }
    return parsed(text);
}

bool record_finish(int from, int to) {
    char text[record_size];
    return record_text(text, from, to) && write_record(text);
}

bool record_restart() {
    char text[record_size];
    record_text(text, 0, 0);
    return write_record(text);
}
