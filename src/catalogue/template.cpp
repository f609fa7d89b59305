#include "catalogue/template.hpp"

#include "common/text.hpp"

namespace tessimar {

std::string expand_template(std::string_view argument, std::string_view file,
                            std::string_view exe, std::string_view work) {
    std::string out = replace_all(argument, "{file}", file);
    out = replace_all(out, "{exe}", exe);
    return replace_all(out, "{work}", work);
}

}  // namespace tessimar
