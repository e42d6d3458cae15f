// The storage SOP classes of the standard, for a provider that takes every kind of instance.
#pragma once

#include <string_view>
#include <vector>

namespace dicomlib::net {

struct StorageClass {
    std::string_view uid;
    std::string_view name;
};

// Every storage SOP class, retired ones included, in UID order.
const std::vector<StorageClass>& StandardStorageClasses();

}  // namespace dicomlib::net
