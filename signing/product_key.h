// The product's key for update packages, compiled into the program from the PEM file named
// by the build's LAUNCHER_UPDATE_PUBLIC_KEY, with the product's name LAUNCHER_UPDATE_PRODUCT.
// Defined by a library that the build generates from that file (product_key_library in
// signing/CMakeLists.txt); each program that installs updates links exactly one, so a
// program of the wrong key cannot be linked by mistake.
#pragma once

#include "signing/package_signature.h"

namespace signing {

// The key's DER SubjectPublicKeyInfo, or size 0 when the build was given none; the product's
// name either way.
ProductKeyBytes ProductPackageKey();

}  // namespace signing
