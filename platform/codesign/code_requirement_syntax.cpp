#include "platform/codesign/code_requirement_syntax.h"

#include <cctype>
#include <charconv>

#include "platform/codesign/certificates.h"

namespace code_requirement {

namespace {

enum class token_kind {
    end,
    error,
    word,    // bare word: keywords and bare strings
    quoted,  // "text"
    hash,    // H"hex"
    open_paren,
    close_paren,
    open_bracket,
    bang,
    equal,
    less,
    less_equal,
    greater,
    greater_equal,
    star,
};

struct token_t {
    token_kind kind = token_kind::end;
    std::string text;
};

bool is_word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-' ||
           c == '/' || c == '+' || c == ':' || c == '@';
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

class lexer_t {
  public:
    explicit lexer_t(std::string_view text) : text_(text) {}

    token_t next() {
        if (!skip_blanks()) {
            return {token_kind::error, {}};
        }
        if (pos_ == text_.size()) {
            return {token_kind::end, {}};
        }
        char c = text_[pos_];
        switch (c) {
            case '(':
                ++pos_;
                return {token_kind::open_paren, {}};
            case ')':
                ++pos_;
                return {token_kind::close_paren, {}};
            case '[':
                ++pos_;
                return {token_kind::open_bracket, {}};
            case '!':
                ++pos_;
                return {token_kind::bang, {}};
            case '*':
                ++pos_;
                return {token_kind::star, {}};
            case '=':
                ++pos_;
                return {token_kind::equal, {}};
            case '<':
            case '>': {
                ++pos_;
                bool or_equal = pos_ < text_.size() && text_[pos_] == '=';
                pos_ += or_equal ? 1 : 0;
                if (c == '<') {
                    return {or_equal ? token_kind::less_equal : token_kind::less, {}};
                }
                return {or_equal ? token_kind::greater_equal : token_kind::greater, {}};
            }
            case '"':
                return quoted(token_kind::quoted);
            default:
                break;
        }
        if (c == 'H' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
            ++pos_;
            return quoted(token_kind::hash);
        }
        if (!is_word_char(c)) {
            return {token_kind::error, {}};
        }
        std::size_t start = pos_;
        while (pos_ < text_.size() && is_word_char(text_[pos_]) && !at_comment()) {
            ++pos_;
        }
        return {token_kind::word, std::string(text_.substr(start, pos_ - start))};
    }

    // The text between "[" (already taken) and "]": a quoted string or a run of anything but
    // blanks and brackets. Nothing when it is empty or unterminated.
    std::optional<std::string> bracket_text() {
        skip_spaces();
        std::string result;
        if (pos_ < text_.size() && text_[pos_] == '"') {
            token_t token = quoted(token_kind::quoted);
            if (token.kind != token_kind::quoted) {
                return std::nullopt;
            }
            result = std::move(token.text);
        } else {
            std::size_t start = pos_;
            while (pos_ < text_.size() && !is_space(text_[pos_]) && text_[pos_] != ']' &&
                   text_[pos_] != '[' && static_cast<unsigned char>(text_[pos_]) >= 0x20) {
                ++pos_;
            }
            result = std::string(text_.substr(start, pos_ - start));
        }
        skip_spaces();
        if (result.empty() || pos_ == text_.size() || text_[pos_] != ']') {
            return std::nullopt;
        }
        ++pos_;
        return result;
    }

  private:
    bool at_comment() const {
        return pos_ + 1 < text_.size() && text_[pos_] == '/' &&
               (text_[pos_ + 1] == '*' || text_[pos_ + 1] == '/');
    }

    void skip_spaces() {
        while (pos_ < text_.size() && is_space(text_[pos_])) {
            ++pos_;
        }
    }

    // Blanks and comments; false for a comment that never ends.
    bool skip_blanks() {
        for (;;) {
            skip_spaces();
            if (!at_comment()) {
                return true;
            }
            if (text_[pos_ + 1] == '/') {
                std::size_t end = text_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? text_.size() : end + 1;
                continue;
            }
            std::size_t end = text_.find("*/", pos_ + 2);
            if (end == std::string_view::npos) {
                return false;
            }
            pos_ = end + 2;
        }
    }

    // At an opening quote: the text up to the closing one, a backslash taking the next
    // character literally.
    token_t quoted(token_kind kind) {
        ++pos_;
        std::string result;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') {
                return {kind, std::move(result)};
            }
            if (c == '\\') {
                if (pos_ == text_.size()) {
                    break;
                }
                c = text_[pos_++];
            }
            result.push_back(c);
        }
        return {token_kind::error, {}};
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

bool is_reserved(std::string_view word) {
    return word == "and" || word == "or" || word == "exists";
}

std::optional<std::array<std::uint8_t, 20>> decode_sha1(std::string_view hex) {
    std::array<std::uint8_t, 20> bytes{};
    if (hex.size() != bytes.size() * 2) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned value = 0;
        auto [end, error] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, value, 16);
        if (error != std::errc() || end != hex.data() + 2 * i + 2) {
            return std::nullopt;
        }
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}

class parser_t {
  public:
    explicit parser_t(std::string_view text) : lexer_(text) {}

    std::optional<node_t> requirement() {
        auto node = any_of();
        if (!node || peek().kind != token_kind::end) {
            return std::nullopt;
        }
        return node;
    }

  private:
    const token_t& peek() {
        if (!peeked_) {
            peeked_ = lexer_.next();
        }
        return *peeked_;
    }

    token_t take() {
        token_t token = peek();
        peeked_.reset();
        return token;
    }

    bool peek_word(std::string_view word) {
        return peek().kind == token_kind::word && peek().text == word;
    }

    bool accept_word(std::string_view word) {
        if (!peek_word(word)) {
            return false;
        }
        take();
        return true;
    }

    bool accept(token_kind kind) {
        if (peek().kind != kind) {
            return false;
        }
        take();
        return true;
    }

    static node_t combined(node_kind kind, std::vector<node_t> children) {
        if (children.size() == 1) {
            return std::move(children.front());
        }
        node_t node;
        node.kind = kind;
        node.children = std::move(children);
        return node;
    }

    std::optional<node_t> any_of() {
        std::vector<node_t> children;
        do {
            auto child = all_of();
            if (!child) {
                return std::nullopt;
            }
            children.push_back(std::move(*child));
        } while (accept_word("or"));
        return combined(node_kind::any_of, std::move(children));
    }

    std::optional<node_t> all_of() {
        std::vector<node_t> children;
        do {
            auto child = unary();
            if (!child) {
                return std::nullopt;
            }
            children.push_back(std::move(*child));
        } while (accept_word("and"));
        return combined(node_kind::all_of, std::move(children));
    }

    // Parentheses and "!" are the only ways to nest; both count against the bound.
    struct nesting_t {
        explicit nesting_t(int& depth) : depth_(depth) { ++depth_; }
        ~nesting_t() { --depth_; }
        nesting_t(const nesting_t&) = delete;
        nesting_t& operator=(const nesting_t&) = delete;
        bool too_deep() const { return depth_ > k_max_nesting; }
        int& depth_;
    };

    std::optional<node_t> unary() {
        if (accept(token_kind::bang)) {
            nesting_t nesting(depth_);
            if (nesting.too_deep()) {
                return std::nullopt;
            }
            auto operand = unary();
            if (!operand) {
                return std::nullopt;
            }
            node_t node;
            node.kind = node_kind::negation;
            node.children.push_back(std::move(*operand));
            return node;
        }
        return primary();
    }

    std::optional<node_t> primary() {
        if (accept(token_kind::open_paren)) {
            nesting_t nesting(depth_);
            if (nesting.too_deep()) {
                return std::nullopt;
            }
            auto inner = any_of();
            if (!inner || !accept(token_kind::close_paren)) {
                return std::nullopt;
            }
            return inner;
        }
        node_t node;
        if (accept_word("always")) {
            node.kind = node_kind::always;
            return node;
        }
        if (accept_word("never")) {
            node.kind = node_kind::never;
            return node;
        }
        if (accept_word("identifier")) {
            accept(token_kind::equal);
            auto value = string_value();
            if (!value) {
                return std::nullopt;
            }
            node.kind = node_kind::identifier;
            node.text = std::move(*value);
            return node;
        }
        if (accept_word("anchor")) {
            return anchor();
        }
        if (accept_word("certificate") || accept_word("cert")) {
            return certificate();
        }
        if (accept_word("info")) {
            if (!accept(token_kind::open_bracket)) {
                return std::nullopt;
            }
            auto key = lexer_.bracket_text();
            auto match = optional_match();
            if (!key || !match) {
                return std::nullopt;
            }
            node.kind = node_kind::info;
            node.text = std::move(*key);
            node.match = std::move(*match);
            return node;
        }
        return std::nullopt;
    }

    std::optional<node_t> anchor() {
        node_t node;
        if (accept_word("apple")) {
            node.kind =
                accept_word("generic") ? node_kind::anchor_apple_generic : node_kind::anchor_apple;
            return node;
        }
        accept(token_kind::equal);
        auto hash = hash_value();
        if (!hash) {
            return std::nullopt;
        }
        node.kind = node_kind::certificate_hash;
        node.slot = -1;
        node.hash = *hash;
        return node;
    }

    std::optional<node_t> certificate() {
        auto slot = slot_value();
        if (!slot) {
            return std::nullopt;
        }
        node_t node;
        node.slot = *slot;
        if (!accept(token_kind::open_bracket)) {
            accept(token_kind::equal);
            auto hash = hash_value();
            if (!hash) {
                return std::nullopt;
            }
            node.kind = node_kind::certificate_hash;
            node.hash = *hash;
            return node;
        }
        auto field = lexer_.bracket_text();
        if (!field) {
            return std::nullopt;
        }
        std::string_view spec = *field;
        std::size_t dot = spec.find('.');
        if (dot == std::string_view::npos) {
            return std::nullopt;
        }
        std::string_view family = spec.substr(0, dot);
        std::string_view name = spec.substr(dot + 1);
        if (family == "subject" && certificates::is_name_attribute(name)) {
            node.kind = node_kind::certificate_subject;
        } else if (family == "issuer" && certificates::is_name_attribute(name)) {
            node.kind = node_kind::certificate_issuer;
        } else if (family == "field" && certificates::is_numeric_oid(name)) {
            node.kind = node_kind::certificate_extension;
        } else {
            return std::nullopt;
        }
        node.text = std::string(name);
        auto match = optional_match();
        if (!match) {
            return std::nullopt;
        }
        node.match = std::move(*match);
        return node;
    }

    std::optional<int> slot_value() {
        if (accept_word("leaf")) {
            return 0;
        }
        if (accept_word("root")) {
            return -1;
        }
        if (peek().kind != token_kind::word) {
            return std::nullopt;
        }
        std::string text = take().text;
        bool negative = !text.empty() && text.front() == '-';
        std::string_view digits = std::string_view(text).substr(negative ? 1 : 0);
        int value = 0;
        if (digits.empty() || digits.size() > 3) {
            return std::nullopt;
        }
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size() ||
            (negative && value == 0)) {
            return std::nullopt;
        }
        return negative ? -value : value;
    }

    std::optional<std::array<std::uint8_t, 20>> hash_value() {
        if (peek().kind != token_kind::hash) {
            return std::nullopt;
        }
        return decode_sha1(take().text);
    }

    std::optional<std::string> string_value() {
        const token_t& token = peek();
        if (token.kind == token_kind::quoted ||
            (token.kind == token_kind::word && !is_reserved(token.text))) {
            return take().text;
        }
        return std::nullopt;
    }

    // A match, or "exists" when no operator follows.
    std::optional<match_t> optional_match() {
        match_t match;
        if (accept_word("exists")) {
            return match;
        }
        switch (peek().kind) {
            case token_kind::equal:
                match.op = match_op::equal;
                break;
            case token_kind::less:
                match.op = match_op::less;
                break;
            case token_kind::less_equal:
                match.op = match_op::less_equal;
                break;
            case token_kind::greater:
                match.op = match_op::greater;
                break;
            case token_kind::greater_equal:
                match.op = match_op::greater_equal;
                break;
            default:
                return match;
        }
        take();
        if (match.op == match_op::equal) {
            match.leading_wildcard = accept(token_kind::star);
        }
        auto value = string_value();
        if (!value) {
            return std::nullopt;
        }
        match.value = std::move(*value);
        if (match.op == match_op::equal) {
            match.trailing_wildcard = accept(token_kind::star);
        }
        return match;
    }

    lexer_t lexer_;
    std::optional<token_t> peeked_;
    int depth_ = 0;
};

}  // namespace

std::optional<node_t> parse(std::string_view text) {
    if (text.size() > k_max_text_length) {
        return std::nullopt;
    }
    return parser_t(text).requirement();
}

}  // namespace code_requirement
