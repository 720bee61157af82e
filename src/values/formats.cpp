#include "values/formats.h"

#include <vector>

namespace vesk {

std::string uuid_text(std::uint64_t high, std::uint64_t low) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string digits(32, '0');
    for (int i = 0; i < 16; ++i) {
        digits[static_cast<std::size_t>(15 - i)] = hex[(high >> (4 * i)) & 0xf];
        digits[static_cast<std::size_t>(31 - i)] = hex[(low >> (4 * i)) & 0xf];
    }
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" +
           digits.substr(16, 4) + "-" + digits.substr(20);
}

namespace {

std::string join(std::string_view root, const std::vector<std::string_view>& parts) {
    std::string text(root);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += '/';
        text += parts[i];
    }
    return text.empty() ? "." : text;
}

}  // namespace

std::string joined_path(std::span<const std::string_view> pieces) {
    std::string_view root;
    std::vector<std::string_view> parts;
    for (std::string_view piece : pieces) {
        if (piece.starts_with('/')) {
            root = piece.starts_with("//") && !piece.starts_with("///") ? "//" : "/";
            parts.clear();
        }
        std::size_t start = 0;
        while (start <= piece.size()) {
            std::size_t end = piece.find('/', start);
            if (end == std::string_view::npos) end = piece.size();
            std::string_view part = piece.substr(start, end - start);
            if (!part.empty() && part != ".") parts.push_back(part);
            start = end + 1;
        }
    }
    return join(root, parts);
}

std::string joined_parts(std::string_view drive, std::string_view root,
                         std::span<const std::string_view> parts) {
    std::vector<std::string_view> kept(parts.begin(), parts.end());
    if ((!drive.empty() || !root.empty()) && !kept.empty()) kept.erase(kept.begin());
    std::string head = std::string(drive) + std::string(root);
    return join(head, kept);
}

std::string clock_arguments(std::span<const long long> leading, long long second,
                            long long microsecond) {
    std::string text;
    auto add = [&text](long long number) {
        if (!text.empty()) text += ", ";
        text += std::to_string(number);
    };
    for (long long number : leading) add(number);
    if (microsecond != 0) {
        add(second);
        add(microsecond);
    } else if (second != 0) {
        add(second);
    }
    return text;
}

}  // namespace vesk
