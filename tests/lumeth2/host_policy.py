"""A small base-verification policy for host tests: content store under one directory,
digest declared as {"id": SHARED_ENC_ID, "sha256": ...} in the manifest's dependencies."""
import hashlib
import os


class Policy:
    SHARED_ENC_ID = "lumeth2-shared-enc"

    def __init__(self, store):
        self.store = str(store)
        self.verified = []  # (path, sha) of every verify_base call

    def base_sha256_of(self, deps):
        for d in deps or []:
            if d.get("id") == self.SHARED_ENC_ID:
                return d.get("sha256")
        return None

    def dependency_store_dirs(self):
        return [self.store]

    def store_candidates(self, sha, dirs):
        for d in dirs:
            yield os.path.join(d, sha)
            yield os.path.join(d, sha[:2], sha)

    def verify_base(self, path, sha):
        self.verified.append((str(path), sha))
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest() == sha


def sha(data):
    return hashlib.sha256(data).hexdigest()
