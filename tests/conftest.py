import os

IN_FUZZ_CHILD = os.environ.get("QORV_FUZZ_CHILD") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "fuzz_child: runs only in the child interpreter of the fuzz run")


def pytest_collection_modifyitems(config, items):
    # The fuzz properties run in a child interpreter that one parent test
    # starts. Elsewhere they are left out rather than skipped, so that a skip
    # always means something the tests need is missing.
    keep, drop = [], []
    for item in items:
        in_child = item.get_closest_marker("fuzz_child") is not None
        (keep if in_child == IN_FUZZ_CHILD else drop).append(item)
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = keep
