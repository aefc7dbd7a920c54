# Turns page.html into a C++ header, so that the program carries its page.
file(READ ${IN} page)
file(WRITE ${OUT}.tmp "#pragma once\n\nnamespace quilltap::web {\n\ninline constexpr char kPage[] = R\"page(${page})page\";\n\n}  // namespace quilltap::web\n")
file(RENAME ${OUT}.tmp ${OUT})
