import os

from hypothesis import HealthCheck, settings

# CI runs derandomized so a failure reproduces; locally examples vary.
settings.register_profile(
    "ci",
    derandomize=True,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", deadline=None, max_examples=100)
settings.load_profile("ci" if os.environ.get("CI") else os.environ.get("HYPOTHESIS_PROFILE", "dev"))
