// The stand-in host: VM creation and teardown, workers, per-turn duties, and
// loading the module through the real dlopen boundary.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "host/host_vm.h"
#include "host/module_loader.h"
#include "runtime/namespace.h"
#include "runtime/object.h"
#include "runtime/vm.h"
#include "tests/platform/test_platform.h"
#include "tests/runtime/base_test_support.h"

namespace {

TEST(HostVm, OwnsTheVmOnItsThreadAndRetiresChunksWithLiveItems) {
    lum_thread_local& tl = lum_get_thread_local();
    lumptr_ref_record* leaked = nullptr;
    lum_pool_chunk* leaked_chunk = nullptr;
    {
        lum_host_vm host;
        EXPECT_EQ(tl.vm, host.get());
        EXPECT_EQ(host.vm().lock.owner.load(), tl.thread_id);
        EXPECT_EQ(host.vm().wake, &host.waker());
        EXPECT_TRUE(host.vm().logger);
        leaked = lum_pool_new<&lum_vm::pool_records>();
        leaked_chunk = host.vm().pool_records.find_chunk(leaked);
        ASSERT_NE(leaked_chunk, nullptr);
    }
    EXPECT_EQ(tl.vm, nullptr);
    EXPECT_EQ(tl.vm_lock_depth, 0u);
    EXPECT_EQ(leaked_chunk->magic, LUM_POOL_MAGIC_RETIRED);
    lum_pool_delete<&lum_vm::pool_records>(leaked);  // no VM: nothing happens
    thread_log_scope logs;
    lum_host_vm next;
    lum_pool_delete<&lum_vm::pool_records>(leaked);  // a retired chunk: silently ignored
    EXPECT_TRUE(logs.log().texts().empty());
    EXPECT_EQ(next.vm().pool_records.live_count(), 0u);
}

TEST(HostVm, WorkersRunJobsForTheVmAndDeferredReleasesWaitForThreadJobs) {
    lum_host_vm_options options;
    options.workers = 2;
    options.name = "worker-test";
    lum_host_vm host(options);
    EXPECT_EQ(host.vm().worker_count, 2u);
    std::atomic<lum_vm*> seen_vm{nullptr};
    std::string seen_name;
    std::atomic<bool> done{false};
    ASSERT_TRUE(host.vm().jobs.try_push([&] {
        seen_vm = lum_get_thread_local().vm;
        seen_name = lum_get_thread_local().name;
        done = true;
        host.vm().wake->wake();
    }));
    while (!done) host.waker().wait_for(100);
    EXPECT_EQ(seen_vm.load(), host.get());
    EXPECT_EQ(seen_name, "worker-test");

    struct probe : lumobject_base {
        std::atomic<int>* destroyed;
        ~probe() override { destroyed->fetch_add(1); }
    };
    std::atomic<int> destroyed{0};
    auto* object = new probe();
    object->destroyed = &destroyed;
    object->thread_jobs = 1;
    host.vm().deferred_releases.push_back(lumptr_strong<lumobject_base>(object));
    EXPECT_EQ(host.turn().released, 0u);
    EXPECT_EQ(destroyed.load(), 0);
    object->thread_jobs = 0;
    EXPECT_EQ(host.turn().released, 1u);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_TRUE(host.vm().deferred_releases.empty());
}

TEST(HostModule, LinkedModuleUsesThisProcessRegistryAndBadModulesAreRefused) {
    auto module = lum_loaded_module::linked();
    EXPECT_EQ(&module->registry(), &lum_registry());
    EXPECT_FALSE(module->is_shared_library());
    EXPECT_EQ(lum_check_descriptor(module->descriptor()), "");
    lum_module_descriptor bad = module->descriptor();
    bad.abi_version = 3000;
    EXPECT_NE(lum_check_descriptor(bad), "");
    bad = module->descriptor();
    bad.kind[20] = 'x';
    EXPECT_NE(lum_check_descriptor(bad), "");
    try {
        lum_loaded_module::open("/nonexistent/liblumio_std.so");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot load module '/nonexistent/liblumio_std.so'"), std::string::npos);
    }
}

#ifdef LUM_MODULE_PATH
TEST(HostModule, SharedLibraryThroughItsExports) {
    lum_host_vm host;  // the module works on this host's VM and per-thread blocks
    auto module = lum_loaded_module::open(LUM_MODULE_PATH);
    ASSERT_TRUE(module->is_shared_library());
    EXPECT_NE(&module->registry(), &lum_registry());  // its own copy of the runtime
    EXPECT_EQ(lum_check_descriptor(module->descriptor()), "");
    // One runtime block per thread for both copies.
    EXPECT_EQ(&module->registry().thread_local_getter(), &lum_get_thread_local());
    std::thread([&] { EXPECT_EQ(&module->registry().thread_local_getter(), &lum_get_thread_local()); }).join();
    // Opening again gives the same registry (the library is loaded once).
    EXPECT_EQ(&lum_loaded_module::open(LUM_MODULE_PATH)->registry(), &module->registry());
    {
        // The module logs its class registrations on this thread's logger:
        // proof that it works with the host's per-thread block.
        thread_log_scope logs;
        logs.log().level_mask = LUM_LOG_DEFAULT_MASK | LUM_LOG_NOTICE;
        module->run_initializers();
        EXPECT_EQ(logs.log().count("class: std.buffer"), 1u);
    }
    EXPECT_EQ(lum_get_thread_local().pooling_suspended, 0u);
    // Start-up order: the "std" classes in registration order.
    const std::vector<std::string> order = {"buffer", "json", "string", "thread"};
    std::vector<std::string> constructors, names;
    for (const lum_function_def* f : module->find_namespace("std")->functions) {
        names.emplace_back(f->name);
        if (std::find(order.begin(), order.end(), names.back()) != order.end()) constructors.push_back(names.back());
    }
    EXPECT_EQ(constructors, order);
    const std::string text = lum_format_registry(*module);
    EXPECT_EQ(text.rfind("module MODULE_INTERNAL, ABI 3001, " + std::string(LUM_MODULE_PATH) + "\n", 0), 0u);
    EXPECT_NE(text.find("classes\n"), std::string::npos);
    for (const std::string& name : names) EXPECT_NE(text.find("  " + name + "("), std::string::npos) << name;
}

TEST(HostModule, LoadsFromAFolderWithANonAsciiName) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(lum_test_make_temp_dir("lum_module_")) / fs::path(u8"modül-é");
    fs::create_directories(dir);
    const fs::path copy = dir / fs::path(LUM_MODULE_PATH).filename();
    fs::copy_file(LUM_MODULE_PATH, copy);
    const std::string narrow = lum_test_narrow_path(copy);
    if (narrow.empty()) GTEST_SKIP() << "the folder name cannot be written in the system's narrow encoding";
    lum_host_vm host;
    auto module = lum_loaded_module::open(narrow);
    ASSERT_TRUE(module->is_shared_library());
    EXPECT_EQ(module->path(), narrow);
    EXPECT_EQ(lum_check_descriptor(module->descriptor()), "");
    EXPECT_NE(&module->registry(), &lum_registry());
    std::error_code ignored;  // the library stays loaded (and its file in use on some systems)
    fs::remove_all(dir.parent_path(), ignored);
}
#endif

}  // namespace
