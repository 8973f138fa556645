// Exception data: a tree of named, typed values (strings, integers,
// Booleans, floats, variants, nested containers) that describes the objects
// involved in an error. It travels inside error texts as the Base64 text of
// a tagged stream (ident "EDV", the peer version, the values) in the tag
// "$ExceptionData$", and is rebuilt by the receiving exception.
//
// A container holds counted references to its children; a child refers to
// its parent without counting, so a tree lives as long as its root is
// referenced. Objects describe themselves through InxExceptionData; the
// walk up the ancestors keeps an object from being described inside its
// own description. A tree is built and read by one thread.
#pragma once

#include <string>
#include <vector>

#include "lowlevel/errors/exception_data_interfaces.h"

namespace revurov {

// Decodes the encoded form. Raises the Base64 length error for text that is
// not Base64, EnxBaseException 15498 for a wrong ident, an unknown kind or
// nesting deeper than nxMaxExceptionDataDepth, and the tagged reader's
// errors for values of the wrong tag.
constexpr int nxMaxExceptionDataDepth = 64;
TnxExceptionDataValueRef nxExceptionDataFromString(std::u16string_view aText);

// A new root container named aName that describes aForObject and never
// describes the excluded objects.
TnxExceptionDataRef nxCreateExceptionDataContainer(const std::u16string& aName,
                                                   const void* aForObject = nullptr,
                                                   std::vector<const void*> aExcludedObjects = {});

// Reference-counted start-up and shut-down: connects exception data to the
// exception base, so that "$ExceptionData$" tags are rebuilt on arrival.
void nxExceptionDataStartup();
void nxExceptionDataShutdown();

}  // namespace revurov
