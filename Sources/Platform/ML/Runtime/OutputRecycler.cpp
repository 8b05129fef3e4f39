#include "Platform/ML/Runtime/OutputRecycler.h"

#include <atomic>

#if defined(__SANITIZE_THREAD__)
#define NORVEL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NORVEL_THREAD_SANITIZER 1
#endif
#endif

namespace platform::runtime {

namespace {

// An object is reused once the recycler's own reference is the only one left. The last holder
// let go of it on another thread, after its last read of the object; that release of the
// reference must happen before this thread writes into the object again. `use_count` reads the
// count without ordering, so an acquire fence after seeing 1 pairs with the release in the
// holder's decrement. ThreadSanitizer does not model fences (and the compiler warns about them
// there); in its builds, an extra reference taken and dropped does the same job with an
// acquire-release increment of the same count, which it can see.
template <class Owner>
bool lastHolderHasLetGo(const Owner& owner, long count) {
    if (count != 1) return false;
#if defined(NORVEL_THREAD_SANITIZER)
    Owner observed = owner;
    (void)observed;
#else
    (void)owner;
    std::atomic_thread_fence(std::memory_order_acquire);
#endif
    return true;
}

}  // namespace

MultiArray ArrayRecycler::take() {
    {
        std::lock_guard lock(mutex_);
        for (const MultiArray& array : arrays_) {
            // Only this list refers to it: every caller has let go.
            if (lastHolderHasLetGo(array, array.storageUseCount())) return array;
        }
    }
    MultiArray fresh(shape_, dataType_);
    std::lock_guard lock(mutex_);
    if (arrays_.size() < kept) arrays_.push_back(fresh);
    return fresh;
}

void FixedFeatureProvider::add(const std::string& name, FeatureValue value) {
    names_[count_] = &name;
    values_[count_] = std::move(value);
    ++count_;
}

std::set<std::string> FixedFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (std::size_t i = 0; i < count_; ++i) names.insert(*names_[i]);
    return names;
}

std::optional<FeatureValue> FixedFeatureProvider::featureValue(const std::string& featureName) const {
    for (std::size_t i = 0; i < count_; ++i) {
        if (*names_[i] == featureName) return values_[i];
    }
    return std::nullopt;
}

std::shared_ptr<FixedFeatureProvider> ProviderRecycler::take() {
    {
        std::lock_guard lock(mutex_);
        for (const auto& provider : providers_) {
            if (lastHolderHasLetGo(provider, provider.use_count())) {
                provider->clear();
                return provider;
            }
        }
    }
    auto fresh = std::make_shared<FixedFeatureProvider>();
    std::lock_guard lock(mutex_);
    if (providers_.size() < kept) providers_.push_back(fresh);
    return fresh;
}

}  // namespace platform::runtime
