#!/usr/bin/env python3
"""with_dask.py COMMAND...: runs COMMAND with DASK_SCHEDULER_ADDRESS naming a
Dask LocalCluster of two worker processes, everything bound to 127.0.0.1 and
no dashboard; the cluster is closed afterwards. The status is COMMAND's."""
import os
import subprocess
import sys

from dask.distributed import LocalCluster

if __name__ == "__main__":
    with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
                      worker_dashboard_address=None) as cluster:
        status = subprocess.run(sys.argv[1:], env={**os.environ, "DASK_SCHEDULER_ADDRESS": cluster.scheduler_address}
                                ).returncode
    sys.exit(status)
