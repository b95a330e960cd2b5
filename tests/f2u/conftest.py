import pytest

import make_f2u_pack


@pytest.fixture(scope="session")
def host():
    import orvane._f2u.host as host

    return host


@pytest.fixture(scope="session")
def pack_info(tmp_path_factory):
    return make_f2u_pack.make_pack(tmp_path_factory.mktemp("pack"))


@pytest.fixture(scope="session")
def pack(host, pack_info):
    return host.Pack(pack_info["root"], 1)


@pytest.fixture(scope="session")
def identity_path(tmp_path_factory):
    p = tmp_path_factory.mktemp("idn") / "identity.npz"
    make_f2u_pack.make_identity(p)
    return p
