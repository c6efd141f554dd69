#include "driver/lector.h"

#include <gtest/gtest.h>

#include <string>

#include "common/archivo.h"

namespace {

// A temporary file holding `bytes`, read from its start.
archivo fichero_con(const std::string& bytes) {
    archivo f(std::tmpfile());
    std::fwrite(bytes.data(), 1, bytes.size(), f.get());
    std::rewind(f.get());
    return f;
}

std::string contenido(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(i * 7 % 251);
    }
    return bytes;
}

TEST(Lector, DaLosBloquesEnOrden) {
    const std::size_t bloque = 4096;
    for (const bool adelanta : {false, true}) {
        // Whole blocks, a partial last one, and no bytes at all.
        for (const std::size_t n : {std::size_t{0}, 3 * bloque, 10 * bloque + 17}) {
            SCOPED_TRACE(std::to_string(n) + (adelanta ? " ahead" : ""));
            const std::string bytes = contenido(n);
            auto f = fichero_con(bytes);
            lector lee(f.get(), bloque, adelanta);
            std::string leido;
            for (std::string_view b = lee.siguiente(); !b.empty(); b = lee.siguiente()) {
                EXPECT_LE(b.size(), bloque);
                leido.append(b);
            }
            EXPECT_TRUE(lee.siguiente().empty());
            EXPECT_EQ(0, lee.error());
            EXPECT_TRUE(bytes == leido);
        }
    }
}

// A reader left before the end stops its thread.
TEST(Lector, SeAbandonaAMedias) {
    auto f = fichero_con(contenido(1 << 20));
    lector lee(f.get(), 4096, true);
    EXPECT_EQ(4096u, lee.siguiente().size());
}

TEST(Lector, ErrorDeLectura) {
    // A stream open for writing only cannot be read.
    archivo f(std::fopen("/dev/null", "w"));
    ASSERT_TRUE(f);
    for (const bool adelanta : {false, true}) {
        lector lee(f.get(), 4096, adelanta);
        EXPECT_TRUE(lee.siguiente().empty());
        EXPECT_NE(0, lee.error());
    }
}

}  // namespace
