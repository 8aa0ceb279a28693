#include "messages.h"

#include "numbers.h"

std::string query_message() { return std::string("?\0", 2); }

std::string push_message(int secret, std::string_view data_line) {
    std::string m = "+";
    append_padded(m, secret, 5);
    m += ' ';
    m += data_line;
    return m;
}

std::string quit_message(int secret) {
    std::string m = "q";
    append_padded(m, secret, 5);
    return m;
}
