#include "Isolated.h"

std::string RunIsolated(const std::function<std::string()>& body) {
    try {
        return body();
    } catch (...) {
        return "an exception left the body";
    }
}
